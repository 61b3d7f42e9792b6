// SandboxSystemInfo.
#include "platform/sandbox/sandbox_system_info.h"

#include <sys/sysinfo.h>
#include <unistd.h>

#include <cstring>

namespace qv::sandbox {

uint32_t SandboxSystemInfo::GetVersion() {
  if (machine_->is_nt()) return (2600u << 16) | (1u << 8) | 5u;
  return 0x80000000u | (2222u << 16) | (10u << 8) | 4u;
}

bool SandboxSystemInfo::GetVersionEx(OsVersionInfo* info) {
  if (info == nullptr || info->os_version_info_size != 148) return false;
  std::memset(info->service_pack, 0, sizeof(info->service_pack));
  if (machine_->is_nt()) {
    info->major_version = 5;
    info->minor_version = 1;
    info->build_number = 2600;
    info->platform_id = kVerPlatformWin32Nt;
    std::strcpy(info->service_pack, "Service Pack 2");
  } else {
    info->major_version = 4;
    info->minor_version = 10;
    info->build_number = (4u << 24) | (10u << 16) | 2222u;
    info->platform_id = kVerPlatformWin32Windows;
    std::strcpy(info->service_pack, " A ");
  }
  return true;
}

uint32_t SandboxSystemInfo::CopyFolder(const std::string& folder, char* buffer,
                                       uint32_t size) {
  const std::string ansi = machine_->codec().ToAnsi(folder);
  const uint32_t length = static_cast<uint32_t>(ansi.size());
  if (buffer == nullptr || length + 1 > size) return length + 1;
  std::memcpy(buffer, ansi.data(), length);
  buffer[length] = '\0';
  return length;
}

uint32_t SandboxSystemInfo::GetSystemDirectory(char* buffer, uint32_t size) {
  return CopyFolder(machine_->profile().system_directory, buffer, size);
}

uint32_t SandboxSystemInfo::GetWindowsDirectory(char* buffer, uint32_t size) {
  return CopyFolder(machine_->profile().windows_directory, buffer, size);
}

MemoryStatus SandboxSystemInfo::GlobalMemoryStatus() {
  if (machine_->profile().memory) return *machine_->profile().memory;
  MemoryStatus m;
  struct sysinfo si;
  if (::sysinfo(&si) == 0) {
    const uint64_t unit = si.mem_unit ? si.mem_unit : 1;
    m.total_physical = si.totalram * unit;
    m.available_physical = (si.freeram + si.bufferram) * unit;
    m.total_page_file = (si.totalram + si.totalswap) * unit;
    m.available_page_file = (si.freeram + si.bufferram + si.freeswap) * unit;
    if (m.total_physical > 0) {
      m.memory_load = static_cast<uint32_t>(
          100 - (m.available_physical * 100) / m.total_physical);
    }
  }
  // The address space of a 32-bit process.
  m.total_virtual = 0x7FFE0000u;
  m.available_virtual = 0x7FF00000u;
  return m;
}

uint32_t SandboxSystemInfo::AnsiCodePage() { return machine_->codec().code_page(); }

uint32_t SandboxSystemInfo::GetCurrentProcessId() { return static_cast<uint32_t>(::getpid()); }

}  // namespace qv::sandbox
