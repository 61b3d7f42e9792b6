// Win32SystemInfo on GetVersion, GetVersionExA, GetSystemDirectoryA,
// GetWindowsDirectoryA, GlobalMemoryStatusEx, GetACP and GetCurrentProcessId.
#include "platform/win32/win32_system_info.h"

#include <cstring>
#include <string>

#include "platform/win32/windows_api.h"

namespace qv::win32 {
namespace {

constexpr uint32_t kOsVersionInfoSize = 148;

// Copies folder and its zero into buffer when it fits; returns the length, or
// the size needed (zero included) when it does not fit.
uint32_t CopyFolder(const std::string& folder, char* buffer, uint32_t size) {
  const uint32_t length = static_cast<uint32_t>(folder.size());
  if (buffer == nullptr || size < length + 1) return length + 1;
  std::memcpy(buffer, folder.c_str(), length + 1);
  return length;
}

// A folder from a call that follows the same rules as the seam.
template <typename Call>
std::string FetchFolder(Call call) {
  std::string folder(MAX_PATH, '\0');
  UINT length = call(folder.data(), static_cast<UINT>(folder.size()));
  if (length >= folder.size()) {
    folder.resize(length);
    length = call(folder.data(), length);
  }
  folder.resize(length);
  return folder;
}

}  // namespace

uint32_t Win32SystemInfo::GetVersion() { return ::GetVersion(); }

bool Win32SystemInfo::GetVersionEx(OsVersionInfo* info) {
  if (info == nullptr || info->os_version_info_size != kOsVersionInfoSize) return false;
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof(version);
  if (!GetVersionExA(&version)) return false;
  info->major_version = version.dwMajorVersion;
  info->minor_version = version.dwMinorVersion;
  info->build_number = version.dwBuildNumber;
  info->platform_id = version.dwPlatformId;
  static_assert(sizeof(info->service_pack) == sizeof(version.szCSDVersion));
  std::memcpy(info->service_pack, version.szCSDVersion, sizeof(info->service_pack));
  return true;
}

uint32_t Win32SystemInfo::GetSystemDirectory(char* buffer, uint32_t size) {
  return CopyFolder(FetchFolder(GetSystemDirectoryA), buffer, size);
}

uint32_t Win32SystemInfo::GetWindowsDirectory(char* buffer, uint32_t size) {
  return CopyFolder(FetchFolder(GetWindowsDirectoryA), buffer, size);
}

MemoryStatus Win32SystemInfo::GlobalMemoryStatus() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof(status);
  MemoryStatus result;
  if (!GlobalMemoryStatusEx(&status)) return result;
  result.memory_load = status.dwMemoryLoad;
  result.total_physical = status.ullTotalPhys;
  result.available_physical = status.ullAvailPhys;
  result.total_page_file = status.ullTotalPageFile;
  result.available_page_file = status.ullAvailPageFile;
  result.total_virtual = status.ullTotalVirtual;
  result.available_virtual = status.ullAvailVirtual;
  return result;
}

uint32_t Win32SystemInfo::AnsiCodePage() { return GetACP(); }

uint32_t Win32SystemInfo::GetCurrentProcessId() { return ::GetCurrentProcessId(); }

}  // namespace qv::win32
