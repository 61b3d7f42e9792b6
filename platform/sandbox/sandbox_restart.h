// SandboxRestart: the process token and the restart request on the sandbox
// machine. The profile says whether the user holds the shutdown privilege;
// a restart request is recorded in the machine root (restart.json) so that
// the next `qvinit machine boot` takes it up.
#ifndef QV_PLATFORM_SANDBOX_SANDBOX_RESTART_H_
#define QV_PLATFORM_SANDBOX_SANDBOX_RESTART_H_

#include <string>

#include "platform/restart.h"
#include "platform/sandbox/machine.h"

namespace qv::sandbox {

// The file in the machine root that records a restart request.
constexpr const char* kRestartRequestFile = "restart.json";

class SandboxRestart : public Restart {
 public:
  explicit SandboxRestart(Machine* machine);

  void SetLastError(uint32_t error) override;
  uint32_t GetLastError() override;
  Handle GetCurrentProcess() override;
  bool OpenProcessToken(Handle process, uint32_t desired_access,
                        Handle* token) override;
  bool LookupPrivilegeValue(const std::string& system_name,
                            const std::string& name, Luid* luid) override;
  bool AdjustTokenPrivileges(Handle token, bool disable_all,
                             const TokenPrivileges& new_state,
                             uint32_t buffer_length,
                             TokenPrivileges* previous_state,
                             uint32_t* return_length) override;
  bool ExitWindowsEx(uint32_t flags, uint32_t reserved) override;

 private:
  Machine* machine_;
  uint32_t last_error_ = 0;
  bool privilege_enabled_ = false;
};

}  // namespace qv::sandbox

#endif  // QV_PLATFORM_SANDBOX_SANDBOX_RESTART_H_
