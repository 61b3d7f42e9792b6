// SandboxRestart: the process token, its privileges and the restart request
// of a sandbox machine.
//
// The last-error value behaves as Windows keeps it for a thread: a call that
// fails sets it; of the calls that succeed only AdjustTokenPrivileges sets it
// (to 0, or to ERROR_NOT_ALL_ASSIGNED when a privilege was not granted);
// GetCurrentProcess, OpenProcessToken, LookupPrivilegeValue and ExitWindowsEx
// leave it as it was when they succeed. The 9x family has no tokens: the
// token calls fail there with ERROR_CALL_NOT_IMPLEMENTED, and a restart needs
// no privilege.
#include "platform/sandbox/sandbox_restart.h"

#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

#include "platform/posix/atomic_file.h"

namespace qv::sandbox {

namespace {

constexpr uint32_t kErrorCallNotImplementedCode = 120;
constexpr uint32_t kErrorNoSuchPrivilege = 1313;
constexpr uint32_t kRpcServerUnavailable = 1722;
// The pseudo handle that stands for the calling process.
constexpr Handle kCurrentProcess = static_cast<Handle>(-1);
// The token handle given out; one process has one token.
constexpr Handle kProcessToken = 0x2C4;
// The locally unique identifier of the shutdown privilege.
constexpr Luid kShutdownLuid{0x13, 0};

bool SameLuid(const Luid& a, const Luid& b) {
  return a.low_part == b.low_part && a.high_part == b.high_part;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string UtcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

}  // namespace

SandboxRestart::SandboxRestart(Machine* machine) : machine_(machine) {}

void SandboxRestart::SetLastError(uint32_t error) { last_error_ = error; }

uint32_t SandboxRestart::GetLastError() { return last_error_; }

Handle SandboxRestart::GetCurrentProcess() { return kCurrentProcess; }

bool SandboxRestart::OpenProcessToken(Handle process, uint32_t desired_access, Handle* token) {
  if (!machine_->is_nt()) {
    last_error_ = kErrorCallNotImplementedCode;
    return false;
  }
  if (process != kCurrentProcess) {
    last_error_ = kErrorInvalidHandle;
    return false;
  }
  if (token == nullptr || desired_access == 0) {
    last_error_ = kErrorInvalidParameter;
    return false;
  }
  *token = kProcessToken;
  return true;
}

bool SandboxRestart::LookupPrivilegeValue(const std::string& system_name, const std::string& name,
                                          Luid* luid) {
  if (!machine_->is_nt()) {
    last_error_ = kErrorCallNotImplementedCode;
    return false;
  }
  if (!system_name.empty()) {
    // Only the local machine is reachable.
    last_error_ = kRpcServerUnavailable;
    return false;
  }
  if (luid == nullptr) {
    last_error_ = kErrorInvalidParameter;
    return false;
  }
  if (!EqualNoCase(name, "SeShutdownPrivilege")) {
    last_error_ = kErrorNoSuchPrivilege;
    return false;
  }
  *luid = kShutdownLuid;
  return true;
}

bool SandboxRestart::AdjustTokenPrivileges(Handle token, bool disable_all,
                                           const TokenPrivileges& new_state, uint32_t buffer_length,
                                           TokenPrivileges* previous_state,
                                           uint32_t* return_length) {
  if (!machine_->is_nt()) {
    last_error_ = kErrorCallNotImplementedCode;
    return false;
  }
  if (token != kProcessToken) {
    last_error_ = kErrorInvalidHandle;
    return false;
  }
  if (new_state.privilege_count > 1) {
    last_error_ = kErrorInvalidParameter;
    return false;
  }
  const bool held = machine_->profile().shutdown_privilege;
  // Which privilege changes, and to what.
  bool touches_shutdown = false;
  bool enable = false;
  bool not_assigned = false;
  if (disable_all) {
    touches_shutdown = held && privilege_enabled_;
  } else if (new_state.privilege_count == 1) {
    if (SameLuid(new_state.luid, kShutdownLuid) && held) {
      enable = (new_state.attributes & kSePrivilegeEnabled) != 0;
      touches_shutdown = enable != privilege_enabled_;
    } else {
      not_assigned = true;
    }
  }
  // The previous state lists the privileges that changed: a count and one
  // 12-byte entry each.
  const uint32_t needed = touches_shutdown ? sizeof(TokenPrivileges) : sizeof(uint32_t);
  if (previous_state != nullptr) {
    if (return_length == nullptr) {
      last_error_ = kErrorInvalidParameter;
      return false;
    }
    *return_length = needed;
    if (buffer_length < needed) {
      last_error_ = kErrorInsufficientBuffer;
      return false;
    }
    *previous_state = TokenPrivileges{};
    if (touches_shutdown) {
      previous_state->privilege_count = 1;
      previous_state->luid = kShutdownLuid;
      previous_state->attributes = privilege_enabled_ ? kSePrivilegeEnabled : 0;
    }
  }
  if (touches_shutdown) privilege_enabled_ = disable_all ? false : enable;
  last_error_ = not_assigned ? kErrorNotAllAssigned : kErrorSuccess;
  return true;
}

bool SandboxRestart::ExitWindowsEx(uint32_t flags, uint32_t reserved) {
  (void)reserved;  // the reason code: not kept
  if (machine_->is_nt() && !privilege_enabled_) {
    last_error_ = kErrorPrivilegeNotHeld;
    return false;
  }
  nlohmann::ordered_json request;
  request["flags"] = flags & ~kEwxForce;
  request["forced"] = (flags & kEwxForce) != 0;
  request["time"] = UtcNow();
  const Status written =
      WriteFileAtomically(machine_->root() + "/" + kRestartRequestFile, request.dump() + "\n");
  if (!written.ok()) {
    last_error_ = written.code();
    return false;
  }
  return true;
}

}  // namespace qv::sandbox
