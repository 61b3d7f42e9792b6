// Test helper: the fixed version of a PE image held in memory, read the way
// the machine's version reader reads a file (find the resource, read the
// block, query its root), over a file that counts what is read of it.
#ifndef QV_TESTS_PE_VERSION_READER_H_
#define QV_TESTS_PE_VERSION_READER_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/sandbox/pe_version.h"
#include "platform/version_info.h"

namespace qv::testing {

// A file held in memory. Only the first visible bytes count as the file, so
// that truncated copies cost nothing. Counts what is read.
class MemoryFile : public RandomAccessFile {
 public:
  explicit MemoryFile(const std::string& data) : data_(data), visible_(data.size()) {}
  MemoryFile(const std::string& data, size_t visible)
      : data_(data), visible_(std::min(visible, data.size())) {}

  Status Read(uint64_t offset, size_t n, uint8_t* scratch, size_t* read) const override {
    *read = 0;
    ++reads_;
    if (offset >= visible_) return Status::OK();
    const size_t count = std::min<uint64_t>(n, visible_ - static_cast<size_t>(offset));
    std::memcpy(scratch, data_.data() + offset, count);
    *read = count;
    bytes_read_ += count;
    return Status::OK();
  }
  uint64_t Size() const override { return visible_; }

  uint64_t bytes_read() const { return bytes_read_; }
  int reads() const { return reads_; }

 private:
  const std::string& data_;
  size_t visible_;
  mutable uint64_t bytes_read_ = 0;
  mutable int reads_ = 0;
};

// "a.b.c.d" of a fixed file version pair.
inline std::string Dotted(uint32_t ms, uint32_t ls) {
  return std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." +
         std::to_string(ls >> 16) + "." + std::to_string(ls & 0xFFFF);
}

struct Found {
  VersionResource resource;
  FixedFileInfo info;
  std::string file_version;
  std::string product_version;
};

// Finds, reads and queries the version of an image; nullopt when any step
// says there is none.
inline std::optional<Found> ReadVersion(const RandomAccessFile& file) {
  Found found;
  if (!FindVersionResource(file, &found.resource)) return std::nullopt;
  EXPECT_GT(found.resource.size, 0u);
  EXPECT_LE(found.resource.size, kMaxVersionResourceSize);
  EXPECT_LE(found.resource.offset + found.resource.size, file.Size());
  std::vector<uint8_t> block(found.resource.size);
  if (!ReadVersionResource(file, found.resource, found.resource.size, block.data())) {
    return std::nullopt;
  }
  const uint8_t* value = nullptr;
  uint32_t length = 0;
  if (!QueryVersionRoot(block.data(), block.size(), &value, &length)) {
    return std::nullopt;
  }
  EXPECT_GE(length, sizeof(FixedFileInfo));
  std::memcpy(&found.info, value, sizeof(FixedFileInfo));
  found.file_version = Dotted(found.info.file_version_ms, found.info.file_version_ls);
  found.product_version = Dotted(found.info.product_version_ms, found.info.product_version_ls);
  return found;
}

inline std::optional<Found> ReadVersion(const std::string& image) {
  MemoryFile file(image);
  return ReadVersion(file);
}

}  // namespace qv::testing

#endif  // QV_TESTS_PE_VERSION_READER_H_
