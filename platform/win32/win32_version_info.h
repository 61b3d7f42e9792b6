// Win32VersionInfo: the version resource of a program file, read by Windows
// (GetFileVersionInfoSizeW, GetFileVersionInfoW, VerQueryValueW).
//
// Text: the path is UTF-8 and crosses to the W calls as UTF-16.
#ifndef QV_PLATFORM_WIN32_WIN32_VERSION_INFO_H_
#define QV_PLATFORM_WIN32_WIN32_VERSION_INFO_H_

#include <cstdint>
#include <string>

#include "platform/version_info.h"

namespace qv::win32 {

class Win32VersionInfo : public VersionInfo {
 public:
  uint32_t GetFileVersionInfoSize(const std::string& path) override;
  bool GetFileVersionInfo(const std::string& path, uint32_t size, uint8_t* buffer) override;
  bool VerQueryValueRoot(const uint8_t* buffer, uint32_t size, const uint8_t** value,
                         uint32_t* length) override;
};

}  // namespace qv::win32

#endif  // QV_PLATFORM_WIN32_WIN32_VERSION_INFO_H_
