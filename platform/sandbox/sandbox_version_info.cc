// Version resources of the sandbox machine's files, read through its file
// system with the PE parser.
#include "platform/sandbox/sandbox_version_info.h"

#include <memory>

#include "platform/sandbox/pe_version.h"

namespace qv::sandbox {
namespace {

// Opens path and finds its version resource; false when either fails.
bool OpenVersionResource(FileSystem* files, const std::string& path,
                         std::unique_ptr<RandomAccessFile>* file, VersionResource* resource) {
  if (path.empty()) return false;
  if (!files->NewRandomAccessFile(path, file).ok() || *file == nullptr) {
    return false;
  }
  return FindVersionResource(**file, resource);
}

}  // namespace

uint32_t SandboxVersionInfo::GetFileVersionInfoSize(const std::string& path) {
  std::unique_ptr<RandomAccessFile> file;
  VersionResource resource;
  if (!OpenVersionResource(files_, path, &file, &resource)) return 0;
  return resource.size;
}

bool SandboxVersionInfo::GetFileVersionInfo(const std::string& path, uint32_t size,
                                            uint8_t* buffer) {
  if (buffer == nullptr) return false;
  std::unique_ptr<RandomAccessFile> file;
  VersionResource resource;
  if (!OpenVersionResource(files_, path, &file, &resource)) return false;
  return ReadVersionResource(*file, resource, size, buffer);
}

bool SandboxVersionInfo::VerQueryValueRoot(const uint8_t* buffer, uint32_t size,
                                           const uint8_t** value, uint32_t* length) {
  return QueryVersionRoot(buffer, size, value, length);
}

}  // namespace qv::sandbox
