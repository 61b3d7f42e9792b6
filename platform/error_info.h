// ErrorInfo: an error as it travels between the control, the objects it
// calls by name and its host: a number, the source that raised it and a
// description.
//
// The server's business objects report their failures this way, the remote
// data space reports a server it cannot reach this way, and a start-up
// method hands such an error to its host unchanged (the refused login is
// number 20 from "Login Check"). Number 0 means no error.
//
// Plain data; may be copied between threads.
//
// Text: the description and source are UTF-8.
#ifndef QV_PLATFORM_ERROR_INFO_H_
#define QV_PLATFORM_ERROR_INFO_H_

#include <cstdint>
#include <string>

namespace qv {

struct ErrorInfo {
  int32_t number = 0;
  std::string source;
  std::string description;

  bool ok() const { return number == 0; }
  static ErrorInfo None() { return {}; }
};

// Numbers the remote data space gives its own failures (the HRESULTs the
// platform's components use for them).
//   the server could not be reached or did not answer
inline constexpr int32_t kErrorServerUnreachable = static_cast<int32_t>(0x80072EFDu);
//   the server answered with something that is not an answer
inline constexpr int32_t kErrorBadServerAnswer = static_cast<int32_t>(0x800A0BB9u);
//   the business object cannot be created on the server (the server does not
//   know it, or could not make it); the data space makes its proxy without
//   asking the server, so this shows at the object's first call
inline constexpr int32_t kErrorCannotCreateObject = 429;
// The source named in the remote data space's own failures.
inline constexpr char kDataSpaceSource[] = "RDS.DataSpace";

}  // namespace qv

#endif  // QV_PLATFORM_ERROR_INFO_H_
