// Test helper: an HTTP server of the test's own on 127.0.0.1 at a free port,
// its routes set on server before Start; the destructor stops it.
#ifndef QV_TESTS_LOCAL_HTTP_H_
#define QV_TESTS_LOCAL_HTTP_H_

#include <httplib.h>

#include <string>
#include <thread>

namespace qv::testing {

class LocalHttp {
 public:
  ~LocalHttp() {
    if (!thread_.joinable()) return;
    server.stop();
    thread_.join();
  }
  void Start() {
    port_ = server.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server.listen_after_bind(); });
    while (!server.is_running()) std::this_thread::yield();
  }
  int port() const { return port_; }
  std::string Url(const std::string& path = "") const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  httplib::Server server;

 private:
  int port_ = 0;
  std::thread thread_;
};

}  // namespace qv::testing

#endif  // QV_TESTS_LOCAL_HTTP_H_
