// Win32Restart: the process token, its privileges and the restart request,
// on the Windows calls of the same names.
//
// The last-error value is the thread's own (SetLastError/GetLastError), so a
// step is judged exactly as on Windows. Tokens opened here are closed when
// this object goes away.
//
// Used from the UI thread.
//
// Text: system and privilege names are UTF-8 (ASCII in practice) and cross to
// LookupPrivilegeValueA unchanged.
#ifndef QV_PLATFORM_WIN32_WIN32_RESTART_H_
#define QV_PLATFORM_WIN32_WIN32_RESTART_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/restart.h"

namespace qv::win32 {

class Win32Restart : public Restart {
 public:
  Win32Restart() = default;
  ~Win32Restart() override;
  Win32Restart(const Win32Restart&) = delete;
  Win32Restart& operator=(const Win32Restart&) = delete;

  void SetLastError(uint32_t error) override;
  uint32_t GetLastError() override;
  Handle GetCurrentProcess() override;
  bool OpenProcessToken(Handle process, uint32_t desired_access, Handle* token) override;
  bool LookupPrivilegeValue(const std::string& system_name, const std::string& name,
                            Luid* luid) override;
  bool AdjustTokenPrivileges(Handle token, bool disable_all, const TokenPrivileges& new_state,
                             uint32_t buffer_length, TokenPrivileges* previous_state,
                             uint32_t* return_length) override;
  bool ExitWindowsEx(uint32_t flags, uint32_t reserved) override;

 private:
  std::vector<Handle> tokens_;
};

}  // namespace qv::win32

#endif  // QV_PLATFORM_WIN32_WIN32_RESTART_H_
