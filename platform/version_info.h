// VersionInfo: the version resource of a program file.
//
// Mirrors GetFileVersionInfoSizeA, GetFileVersionInfoA and VerQueryValueA for
// the root block. The size and the block are those of the file's VS_VERSIONINFO
// resource; the file is read piecewise, never loaded whole.
//
// Used from the UI thread.
//
// Text: the path is UTF-8, as FileSystem takes it; the version block is bytes.
#ifndef QV_PLATFORM_VERSION_INFO_H_
#define QV_PLATFORM_VERSION_INFO_H_

#include <cstdint>
#include <string>

namespace qv {

// VS_FIXEDFILEINFO: thirteen 32-bit fields, 52 bytes.
struct FixedFileInfo {
  uint32_t signature = 0;
  uint32_t struc_version = 0;
  uint32_t file_version_ms = 0;
  uint32_t file_version_ls = 0;
  uint32_t product_version_ms = 0;
  uint32_t product_version_ls = 0;
  uint32_t file_flags_mask = 0;
  uint32_t file_flags = 0;
  uint32_t file_os = 0;
  uint32_t file_type = 0;
  uint32_t file_subtype = 0;
  uint32_t file_date_ms = 0;
  uint32_t file_date_ls = 0;
};
static_assert(sizeof(FixedFileInfo) == 52, "VS_FIXEDFILEINFO is 52 bytes");

class VersionInfo {
 public:
  virtual ~VersionInfo() = default;
  // The size of the file's version information; 0 when the file is missing,
  // is not a program file or has no version resource.
  virtual uint32_t GetFileVersionInfoSize(const std::string& path) = 0;
  // Copies up to size bytes of the version information into buffer.
  virtual bool GetFileVersionInfo(const std::string& path, uint32_t size,
                                  uint8_t* buffer) = 0;
  // The root block ("\") of a buffer filled above: points *value at the
  // fixed file information inside buffer and stores its length.
  virtual bool VerQueryValueRoot(const uint8_t* buffer, uint32_t size,
                                 const uint8_t** value, uint32_t* length) = 0;
};

}  // namespace qv

#endif  // QV_PLATFORM_VERSION_INFO_H_
