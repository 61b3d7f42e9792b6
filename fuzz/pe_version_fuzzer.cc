// Fuzzes the PE version-resource reader: the input is a whole file, read
// from memory by FindVersionResource / ReadVersionResource /
// QueryVersionRoot, and again from a sandbox machine's disk by
// GetFileVersionString, which must agree with them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_machine.h"
#include "install/modInstall.h"
#include "platform/sandbox/pe_version.h"
#include "platform/version_info.h"

namespace {

using qv::fuzz::Check;

// The input as a file that is read at any offset, as a file on disk is.
class MemoryFile : public qv::RandomAccessFile {
 public:
  MemoryFile(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  qv::Status Read(uint64_t offset, size_t n, uint8_t* scratch, size_t* read) const override {
    *read = 0;
    if (offset >= size_) return qv::Status::OK();
    *read = static_cast<size_t>(std::min<uint64_t>(n, size_ - offset));
    std::memcpy(scratch, data_ + offset, *read);
    return qv::Status::OK();
  }
  uint64_t Size() const override { return size_; }

 private:
  const uint8_t* data_;
  size_t size_;
};

// The version the fixed file information states, as Major.Minor.Build.Revision.
std::string FixedVersion(const uint8_t* value) {
  qv::FixedFileInfo info;
  std::memcpy(&info, value, sizeof(info));
  return std::to_string(info.file_version_ms >> 16) + "." +
         std::to_string(info.file_version_ms & 0xFFFF) + "." +
         std::to_string(info.file_version_ls >> 16) + "." +
         std::to_string(info.file_version_ls & 0xFFFF);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const MemoryFile file(data, size);
  std::string expected;  // what GetFileVersionString must give
  qv::VersionResource resource;
  if (qv::FindVersionResource(file, &resource)) {
    Check(resource.size > 0 && resource.size <= qv::kMaxVersionResourceSize,
          "a resource size outside its bounds");
    Check(resource.offset + resource.size <= size, "a resource beyond the end of the file");
    std::vector<uint8_t> block(resource.size);
    Check(qv::ReadVersionResource(file, resource, resource.size, block.data()),
          "a resource that was found cannot be read");
    const uint8_t* value = nullptr;
    uint32_t length = 0;
    if (qv::QueryVersionRoot(block.data(), block.size(), &value, &length)) {
      Check(length >= sizeof(qv::FixedFileInfo), "a root value shorter than the fixed info");
      Check(value >= block.data() && value + length <= block.data() + block.size(),
            "a root value outside its block");
      expected = FixedVersion(value);
    }
  }

  auto& machine = qv::fuzz::FuzzMachine();
  qv::fuzz::PutFile(machine, "C:\\Fuzz\\image.dll",
                    std::string_view(reinterpret_cast<const char*>(data), size));
  Check(qv::GetFileVersionString("C:\\Fuzz\\image.dll") == expected,
        "the machine reads another version than the reader");
  return 0;
}
