// SandboxVersionInfo: the version resources of the sandbox machine's files.
//
// Paths are Windows paths of the machine, opened for reading through its
// FileSystem; the resource is found and read by the PE parser
// (platform/pe_version.h), so only the headers and the resource itself are
// read, whatever the size of the file. A file that is missing, cannot be
// opened, is not a PE image or has no usable version resource has size 0.
//
// Holds no state between calls. Used from the UI thread, like the file
// system it reads through.
#ifndef QV_PLATFORM_SANDBOX_SANDBOX_VERSION_INFO_H_
#define QV_PLATFORM_SANDBOX_SANDBOX_VERSION_INFO_H_

#include <cstdint>
#include <string>

#include "platform/file_system.h"
#include "platform/version_info.h"

namespace qv::sandbox {

class SandboxVersionInfo : public VersionInfo {
 public:
  // files must outlive this object.
  explicit SandboxVersionInfo(FileSystem* files) : files_(files) {}

  uint32_t GetFileVersionInfoSize(const std::string& path) override;
  // Copies the first min(size, resource size) bytes of the resource into
  // buffer; false when the file has no version resource or reading fails.
  bool GetFileVersionInfo(const std::string& path, uint32_t size, uint8_t* buffer) override;
  bool VerQueryValueRoot(const uint8_t* buffer, uint32_t size, const uint8_t** value,
                         uint32_t* length) override;

 private:
  FileSystem* files_;
};

}  // namespace qv::sandbox

#endif  // QV_PLATFORM_SANDBOX_SANDBOX_VERSION_INFO_H_
