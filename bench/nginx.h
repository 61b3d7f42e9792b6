// Nginx: an nginx server from the system, started on 127.0.0.1 for a
// benchmark, so that the server side of a measurement is not ours.
//
// Start writes a minimal configuration into a private temporary folder
// (access log off, sendfile on, keep-alive on), binds a free port on
// 127.0.0.1, serves root as its document root, and waits until it accepts
// connections. Given a certificate and key it speaks HTTPS instead, with
// the same settings. The destructor stops it (SIGQUIT, then SIGKILL) and
// removes the temporary folder.
//
// Balance starts nginx as deploy/nginx.conf.in sets it up in front of
// several qvserver instances instead: business calls passed on to the
// instances, files served from root.
#ifndef QV_BENCH_NGINX_H_
#define QV_BENCH_NGINX_H_

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qv::bench {

class Nginx {
 public:
  // The server's certificate and key (PEM files); none: plain HTTP.
  struct Tls {
    std::string cert, key;
  };

  // nullptr with *error set when nginx is missing or does not start.
  static std::unique_ptr<Nginx> Start(const std::string& root, std::string* error,
                                      const Tls& tls = {});
  // upstreams: the instances' "HOST:PORT".
  static std::unique_ptr<Nginx> Balance(const std::string& root,
                                        const std::vector<std::string>& upstreams,
                                        std::string* error);
  ~Nginx();
  Nginx(const Nginx&) = delete;
  Nginx& operator=(const Nginx&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:PORT", or "https://..." with a certificate.
  std::string base_url() const;

 private:
  Nginx() = default;
  // Starts nginx with the configuration that config makes for a port and
  // nginx's own folder.
  static std::unique_ptr<Nginx> Launch(
      const std::function<std::string(int port, const std::string& dir)>& config, bool tls,
      std::string* error);
  int port_ = 0;
  int pid_ = -1;
  bool tls_ = false;
  std::string dir_;
};

}  // namespace qv::bench

#endif  // QV_BENCH_NGINX_H_
