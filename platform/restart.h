// Restart: the process token, its privileges and the request to restart the
// machine.
//
// Mirrors the Windows calls the restart makes (SetLastError, GetLastError,
// GetCurrentProcess, OpenProcessToken, LookupPrivilegeValueA,
// AdjustTokenPrivileges, ExitWindowsEx). Each call sets the thread's
// last-error value as Windows does; callers judge a step by that value.
// AdjustTokenPrivileges succeeds but leaves ERROR_NOT_ALL_ASSIGNED (1300)
// when the user does not hold the privilege.
//
// Used from the UI thread.
//
// Text: system and privilege names are UTF-8 (the privilege names are ASCII).
#ifndef QV_PLATFORM_RESTART_H_
#define QV_PLATFORM_RESTART_H_

#include <cstdint>
#include <string>

namespace qv {

constexpr uint32_t kTokenAdjustPrivileges = 0x20;
constexpr uint32_t kTokenQuery = 0x08;
constexpr uint32_t kSePrivilegeEnabled = 0x2;
constexpr uint32_t kEwxReboot = 0x2;
constexpr uint32_t kEwxForce = 0x4;

struct Luid {
  uint32_t low_part = 0;
  int32_t high_part = 0;
};

// TOKEN_PRIVILEGES with one entry (16 bytes).
struct TokenPrivileges {
  uint32_t privilege_count = 0;
  Luid luid;
  uint32_t attributes = 0;
};

using Handle = uintptr_t;

class Restart {
 public:
  virtual ~Restart() = default;
  virtual void SetLastError(uint32_t error) = 0;
  virtual uint32_t GetLastError() = 0;
  virtual Handle GetCurrentProcess() = 0;
  virtual bool OpenProcessToken(Handle process, uint32_t desired_access,
                                Handle* token) = 0;
  // system_name "" is the local machine.
  virtual bool LookupPrivilegeValue(const std::string& system_name,
                                    const std::string& name, Luid* luid) = 0;
  virtual bool AdjustTokenPrivileges(Handle token, bool disable_all,
                                     const TokenPrivileges& new_state,
                                     uint32_t buffer_length,
                                     TokenPrivileges* previous_state,
                                     uint32_t* return_length) = 0;
  // Asks the machine to restart (EWX_REBOOT) and returns at once.
  virtual bool ExitWindowsEx(uint32_t flags, uint32_t reserved) = 0;
};

}  // namespace qv

#endif  // QV_PLATFORM_RESTART_H_
