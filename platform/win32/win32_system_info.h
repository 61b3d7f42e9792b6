// Win32SystemInfo: the running Windows' version, folders, memory, code page
// and process id, from the system calls of the same names.
//
// The folder queries keep the seam's buffer rules exactly: the folder is
// fetched whole first, then copied only when it fits with its zero.
//
// Text: the folders are ANSI bytes, as GetSystemDirectoryA gives them.
#ifndef QV_PLATFORM_WIN32_WIN32_SYSTEM_INFO_H_
#define QV_PLATFORM_WIN32_WIN32_SYSTEM_INFO_H_

#include <cstdint>

#include "platform/system_info.h"

namespace qv::win32 {

class Win32SystemInfo : public SystemInfo {
 public:
  uint32_t GetVersion() override;
  bool GetVersionEx(OsVersionInfo* info) override;
  uint32_t GetSystemDirectory(char* buffer, uint32_t size) override;
  uint32_t GetWindowsDirectory(char* buffer, uint32_t size) override;
  MemoryStatus GlobalMemoryStatus() override;
  uint32_t AnsiCodePage() override;
  uint32_t GetCurrentProcessId() override;
};

}  // namespace qv::win32

#endif  // QV_PLATFORM_WIN32_WIN32_SYSTEM_INFO_H_
