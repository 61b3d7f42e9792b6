// Nginx: an nginx server from the system, started on 127.0.0.1 for a
// benchmark, so that the server side of a measurement is not ours.
//
// Start writes a minimal configuration into a private temporary folder
// (access log off, sendfile on, keep-alive on), binds a free port on
// 127.0.0.1, serves root as its document root, and waits until it accepts
// connections. The destructor stops it (SIGQUIT, then SIGKILL) and removes
// the temporary folder.
#ifndef QV_BENCH_NGINX_H_
#define QV_BENCH_NGINX_H_

#include <memory>
#include <string>

namespace qv::bench {

class Nginx {
 public:
  // nullptr with *error set when nginx is missing or does not start.
  static std::unique_ptr<Nginx> Start(const std::string& root, std::string* error);
  ~Nginx();
  Nginx(const Nginx&) = delete;
  Nginx& operator=(const Nginx&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:PORT"
  std::string base_url() const;

 private:
  Nginx() = default;
  int port_ = 0;
  int pid_ = -1;
  std::string dir_;
};

}  // namespace qv::bench

#endif  // QV_BENCH_NGINX_H_
