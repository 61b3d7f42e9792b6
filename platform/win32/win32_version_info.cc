// Win32VersionInfo on the version library of Windows.
#include "platform/win32/win32_version_info.h"

#include "platform/win32/win32_wide_text.h"
#include "platform/win32/windows_api.h"

namespace qv::win32 {

uint32_t Win32VersionInfo::GetFileVersionInfoSize(const std::string& path) {
  DWORD ignored = 0;
  return GetFileVersionInfoSizeW(Utf8ToWide(path).c_str(), &ignored);
}

bool Win32VersionInfo::GetFileVersionInfo(const std::string& path, uint32_t size, uint8_t* buffer) {
  return GetFileVersionInfoW(Utf8ToWide(path).c_str(), 0, size, buffer) != FALSE;
}

bool Win32VersionInfo::VerQueryValueRoot(const uint8_t* buffer, uint32_t size,
                                         const uint8_t** value, uint32_t* length) {
  if (buffer == nullptr || size == 0) return false;
  void* found = nullptr;
  UINT found_length = 0;
  if (!VerQueryValueW(buffer, L"\\", &found, &found_length) || found == nullptr) return false;
  *value = static_cast<const uint8_t*>(found);
  *length = found_length;
  return true;
}

}  // namespace qv::win32
