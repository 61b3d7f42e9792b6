// Win32Restart on OpenProcessToken, LookupPrivilegeValueA,
// AdjustTokenPrivileges and ExitWindowsEx.
#include "platform/win32/win32_restart.h"

#include <algorithm>

#include "platform/win32/win32_handle.h"
#include "platform/win32/windows_api.h"

namespace qv::win32 {
namespace {

HANDLE ToHandle(Handle handle) { return reinterpret_cast<HANDLE>(handle); }

TOKEN_PRIVILEGES ToWindows(const TokenPrivileges& privileges) {
  TOKEN_PRIVILEGES result{};
  result.PrivilegeCount = privileges.privilege_count;
  result.Privileges[0].Luid.LowPart = privileges.luid.low_part;
  result.Privileges[0].Luid.HighPart = privileges.luid.high_part;
  result.Privileges[0].Attributes = privileges.attributes;
  return result;
}

TokenPrivileges FromWindows(const TOKEN_PRIVILEGES& privileges) {
  TokenPrivileges result;
  result.privilege_count = privileges.PrivilegeCount;
  result.luid.low_part = privileges.Privileges[0].Luid.LowPart;
  result.luid.high_part = privileges.Privileges[0].Luid.HighPart;
  result.attributes = privileges.Privileges[0].Attributes;
  return result;
}

}  // namespace

Win32Restart::~Win32Restart() {
  for (Handle token : tokens_) CloseHandle(ToHandle(token));
}

void Win32Restart::SetLastError(uint32_t error) { ::SetLastError(error); }

uint32_t Win32Restart::GetLastError() { return ::GetLastError(); }

Handle Win32Restart::GetCurrentProcess() { return reinterpret_cast<Handle>(::GetCurrentProcess()); }

bool Win32Restart::OpenProcessToken(Handle process, uint32_t desired_access, Handle* token) {
  HANDLE opened = nullptr;
  if (!::OpenProcessToken(ToHandle(process), desired_access, &opened)) return false;
  *token = reinterpret_cast<Handle>(opened);
  tokens_.push_back(*token);
  return true;
}

bool Win32Restart::LookupPrivilegeValue(const std::string& system_name, const std::string& name,
                                        Luid* luid) {
  LUID found{};
  if (!LookupPrivilegeValueA(system_name.empty() ? nullptr : system_name.c_str(), name.c_str(),
                             &found)) {
    return false;
  }
  luid->low_part = found.LowPart;
  luid->high_part = found.HighPart;
  return true;
}

bool Win32Restart::AdjustTokenPrivileges(Handle token, bool disable_all,
                                         const TokenPrivileges& new_state, uint32_t buffer_length,
                                         TokenPrivileges* previous_state, uint32_t* return_length) {
  TOKEN_PRIVILEGES wanted = ToWindows(new_state);
  // One entry is all the seam's record holds; Windows judges a smaller buffer.
  TOKEN_PRIVILEGES previous{};
  const DWORD previous_size =
      previous_state != nullptr ? std::min<DWORD>(buffer_length, sizeof(previous)) : 0;
  DWORD previous_length = 0;
  const BOOL done = ::AdjustTokenPrivileges(ToHandle(token), disable_all, &wanted, previous_size,
                                            previous_state != nullptr ? &previous : nullptr,
                                            previous_state != nullptr ? &previous_length : nullptr);
  if (done && previous_state != nullptr) *previous_state = FromWindows(previous);
  if (return_length != nullptr) *return_length = previous_length;
  return done != FALSE;
}

bool Win32Restart::ExitWindowsEx(uint32_t flags, uint32_t reserved) {
  return ::ExitWindowsEx(flags, reserved) != FALSE;
}

}  // namespace qv::win32
