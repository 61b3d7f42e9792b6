// modShutdown: the restart of the machine, over the current platform's
// restart calls, system queries and user interface. Runs on the UI thread.
#include "system/modShutdown.h"

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace qv {

namespace {

// GetVersion sets this bit on the 9x family.
constexpr uint32_t kVersion9xBit = 0x80000000u;
// The reserved argument of the restart request, as the control passes it.
constexpr uint32_t kExitReserved = 0xFFFFFFFFu;
constexpr uint32_t kTokenAccess = kTokenAdjustPrivileges | kTokenQuery;  // 0x28

static_assert(sizeof(TokenPrivileges) == 16, "one-entry TOKEN_PRIVILEGES is 16 bytes");

// Shows label followed by the current last-error value, when that value is
// not zero.
void ReportIfFailed(const char* label) {
  Platform& platform = CurrentPlatform();
  if (platform.restart->GetLastError() == 0) return;
  const std::string text = label + std::to_string(platform.restart->GetLastError());
  platform.ui->MessageBox(text, kMbOk, "");
}

}  // namespace

void EnableShutdownPrivilege() {
  Restart& restart = *CurrentPlatform().restart;
  // A step that fails leaves these at zero, and the next step runs with them
  // as they are.
  Handle token = 0;
  Luid luid;
  TokenPrivileges request;
  TokenPrivileges previous;
  uint32_t return_length = 0;

  // Cleared once: every step below is judged by the last-error value it
  // leaves, whatever it returns, and a failure does not stop the next step.
  restart.SetLastError(0);

  const Handle process = restart.GetCurrentProcess();
  ReportIfFailed("GetCurrentProcess error==");

  restart.OpenProcessToken(process, kTokenAccess, &token);
  ReportIfFailed("OpenProcessToken error==");

  restart.LookupPrivilegeValue("", "SeShutdownPrivilege", &luid);
  ReportIfFailed("LookupPrivilegeValue error==");

  request.privilege_count = 1;
  request.luid = luid;
  request.attributes = kSePrivilegeEnabled;
  restart.AdjustTokenPrivileges(token, false, request, sizeof(TokenPrivileges), &previous,
                                &return_length);
  ReportIfFailed("AdjustTokenPrivileges error==");
}

void RestartWindows() {
  Platform& platform = CurrentPlatform();
  if ((platform.system->GetVersion() & kVersion9xBit) == 0) EnableShutdownPrivilege();
  // Not forced; whether the request was accepted is not looked at.
  platform.restart->ExitWindowsEx(kEwxReboot, kExitReserved);
}

}  // namespace qv
