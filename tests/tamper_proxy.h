// A man in the middle of the tests' own: a plain HTTP server on 127.0.0.1
// that passes every request on to a real server and that server's answer
// back, unless told to tamper with it: one byte of a file's body changed, a
// body cut short (its length announced to match, so the transfer looks
// whole), the install list's answer carrying another document, or an
// answer it passed on earlier played again.
//
// It listens at a free port from construction on; the destructor stops it.
#ifndef QV_TESTS_TAMPER_PROXY_H_
#define QV_TESTS_TAMPER_PROXY_H_

#include <httplib.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace qv::testing {

class TamperProxy {
 public:
  // upstream: the real server's base address, "http://127.0.0.1:PORT".
  explicit TamperProxy(const std::string& upstream);
  ~TamperProxy();
  TamperProxy(const TamperProxy&) = delete;
  TamperProxy& operator=(const TamperProxy&) = delete;

  std::string Url(const std::string& path = "") const;

  // The body served at path (as asked for, "/chk/a.dll") has its middle
  // byte changed.
  void ChangeByte(const std::string& path);
  // The body served at path loses its last byte.
  void Cut(const std::string& path);
  // The answer to the install-list call carries document instead of the
  // server's list.
  void SwapList(const std::string& document);
  // The answer to the install-list call is answer, byte for byte.
  void ReplayList(const std::string& answer);
  // Everything is passed on untouched again.
  void PassEverything();

  // The server's last answer to the install-list call, as it came.
  std::string RecordedList();

 private:
  enum class BodyChange { kByte, kCut };

  void Forward(const httplib::Request& request, httplib::Response* response);
  static bool IsListCall(const httplib::Request& request);

  const std::string upstream_;
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;

  std::mutex mutex_;
  std::map<std::string, BodyChange> body_changes_;
  std::optional<std::string> list_answer_;
  std::string recorded_list_;
};

}  // namespace qv::testing

#endif  // QV_TESTS_TAMPER_PROXY_H_
