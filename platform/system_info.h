// SystemInfo: what the control asks of the running Windows.
//
// The directory queries follow GetSystemDirectoryA/GetWindowsDirectoryA: they
// copy the folder and a terminating zero into buffer when it fits and return
// the length without the zero; when it does not fit they write nothing and
// return the size needed (zero included).
//
// Used from the UI thread.
//
// Text: the folder buffers hold bytes in the machine's ANSI code page, as
// GetSystemDirectoryA fills them; callers convert with TextCodec. The version
// record's service-pack text is ANSI too.
#ifndef QV_PLATFORM_SYSTEM_INFO_H_
#define QV_PLATFORM_SYSTEM_INFO_H_

#include <cstdint>
#include <string>

namespace qv {

constexpr uint32_t kVerPlatformWin32Windows = 1;
constexpr uint32_t kVerPlatformWin32Nt = 2;

// The fields of OSVERSIONINFOA that the platform fills.
struct OsVersionInfo {
  uint32_t os_version_info_size = 0;  // must be 148 before the call
  uint32_t major_version = 0;
  uint32_t minor_version = 0;
  uint32_t build_number = 0;
  uint32_t platform_id = 0;
  char service_pack[128] = {};
};

// The figures of GlobalMemoryStatus, in bytes except the load (percent).
struct MemoryStatus {
  uint32_t memory_load = 0;
  uint64_t total_physical = 0;
  uint64_t available_physical = 0;
  uint64_t total_page_file = 0;
  uint64_t available_page_file = 0;
  uint64_t total_virtual = 0;
  uint64_t available_virtual = 0;
};

class SystemInfo {
 public:
  virtual ~SystemInfo() = default;

  // GetVersion: bit 31 is set on the 9x family.
  virtual uint32_t GetVersion() = 0;
  // GetVersionExA: fills *info when its size field is 148 and returns true.
  virtual bool GetVersionEx(OsVersionInfo* info) = 0;

  virtual uint32_t GetSystemDirectory(char* buffer, uint32_t size) = 0;
  virtual uint32_t GetWindowsDirectory(char* buffer, uint32_t size) = 0;

  virtual MemoryStatus GlobalMemoryStatus() = 0;

  // The ANSI code page (1252 for Western European Windows).
  virtual uint32_t AnsiCodePage() = 0;

  // GetCurrentProcessId: the running program's process id.
  virtual uint32_t GetCurrentProcessId() = 0;
};

}  // namespace qv

#endif  // QV_PLATFORM_SYSTEM_INFO_H_
