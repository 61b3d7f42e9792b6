// A throwaway certificate authority for the HTTPS tests, made with the
// openssl command in a folder of the test's: its certificate (the file a
// client is told to trust) and the server certificates it issues, for the
// names and lifetimes a test asks for.
#ifndef QV_TESTS_TEST_AUTHORITY_H_
#define QV_TESTS_TEST_AUTHORITY_H_

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/test_util.h"

namespace qv::testing {

class TestAuthority {
 public:
  struct Issued {
    std::string cert, key;
  };

  // Makes dir/ca.key and dir/ca.pem; dir exists.
  explicit TestAuthority(const std::string& dir) : dir_(dir) {
    Openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
             "-keyout", dir_ + "/ca.key", "-out", ca_file(), "-subj", "/CN=qv test authority",
             "-days", "2"});
  }

  std::string ca_file() const { return dir_ + "/ca.pem"; }

  // A certificate named name, for alt_names ("IP:127.0.0.1,DNS:localhost"),
  // valid for days from now; a negative number of days makes one that
  // ended before it began.
  Issued Issue(const std::string& name, const std::string& alt_names, int days) const {
    const std::string base = dir_ + "/" + name;
    Openssl({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
             base + ".key", "-out", base + ".csr", "-subj", "/CN=" + name});
    WriteHostFile(base + ".ext", "subjectAltName=" + alt_names + "\n");
    Openssl({"x509", "-req", "-in", base + ".csr", "-CA", ca_file(), "-CAkey", dir_ + "/ca.key",
             "-days", std::to_string(days), "-extfile", base + ".ext", "-out", base + ".pem"});
    return {base + ".pem", base + ".key"};
  }

 private:
  static void Openssl(std::vector<std::string> args) {
    args.insert(args.begin(), "openssl");
    const CommandResult result = RunCommand(args);
    ASSERT_EQ(result.exit_code, 0) << result.err;
  }

  std::string dir_;
};

}  // namespace qv::testing

#endif  // QV_TESTS_TEST_AUTHORITY_H_
