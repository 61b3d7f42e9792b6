// SandboxSystemInfo: the version, folders, memory figures and code page of
// the sandbox machine, as its profile gives them.
#ifndef QV_PLATFORM_SANDBOX_SANDBOX_SYSTEM_INFO_H_
#define QV_PLATFORM_SANDBOX_SANDBOX_SYSTEM_INFO_H_

#include "platform/sandbox/machine.h"
#include "platform/system_info.h"

namespace qv::sandbox {

class SandboxSystemInfo : public SystemInfo {
 public:
  explicit SandboxSystemInfo(Machine* machine) : machine_(machine) {}

  // NT family: version 5.1 build 2600; 9x family: version 4.10 build 2222,
  // bit 31 set.
  uint32_t GetVersion() override;
  bool GetVersionEx(OsVersionInfo* info) override;
  uint32_t GetSystemDirectory(char* buffer, uint32_t size) override;
  uint32_t GetWindowsDirectory(char* buffer, uint32_t size) override;
  // The profile's figures, or the host's when the profile has none.
  MemoryStatus GlobalMemoryStatus() override;
  uint32_t AnsiCodePage() override;
  // The host process's id: the sandbox runs in the host's processes.
  uint32_t GetCurrentProcessId() override;

 private:
  uint32_t CopyFolder(const std::string& folder, char* buffer, uint32_t size);

  Machine* machine_;
};

}  // namespace qv::sandbox

#endif  // QV_PLATFORM_SANDBOX_SANDBOX_SYSTEM_INFO_H_
