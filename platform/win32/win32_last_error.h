// The Status of a Windows call that just failed: the thread's last error with
// a message naming what was done.
#ifndef QV_PLATFORM_WIN32_WIN32_LAST_ERROR_H_
#define QV_PLATFORM_WIN32_WIN32_LAST_ERROR_H_

#include <string>

#include "platform/status.h"
#include "platform/win32/windows_api.h"

namespace qv::win32 {

inline Status LastError(const std::string& what) {
  const DWORD code = ::GetLastError();
  return Status::Error(code, what + ": error " + std::to_string(code));
}

// A Status from a call's success flag.
inline Status Check(BOOL done, const std::string& what) {
  return done ? Status::OK() : LastError(what);
}

}  // namespace qv::win32

#endif  // QV_PLATFORM_WIN32_WIN32_LAST_ERROR_H_
