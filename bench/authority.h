// Authority: a throwaway certificate authority for the benchmarks that serve
// HTTPS, made with the openssl command in a folder of the benchmark's: its
// certificate (the file a client is told to trust) and the server
// certificates it issues.
#ifndef QV_BENCH_AUTHORITY_H_
#define QV_BENCH_AUTHORITY_H_

#include <memory>
#include <string>
#include <vector>

namespace qv::bench {

class Authority {
 public:
  struct Issued {
    std::string cert, key;
  };

  // Makes dir/ca.key and dir/ca.pem (dir exists). nullptr with *error set
  // when openssl is missing or fails.
  static std::unique_ptr<Authority> Make(const std::string& dir, std::string* error);

  std::string ca_file() const { return dir_ + "/ca.pem"; }

  // A certificate named name for alt_names ("IP:127.0.0.1"), valid for two
  // days. False with *error set when openssl fails.
  bool Issue(const std::string& name, const std::string& alt_names, Issued* issued,
             std::string* error) const;

 private:
  explicit Authority(const std::string& dir) : dir_(dir) {}
  static bool Openssl(std::vector<std::string> args, std::string* error);

  std::string dir_;
};

}  // namespace qv::bench

#endif  // QV_BENCH_AUTHORITY_H_
