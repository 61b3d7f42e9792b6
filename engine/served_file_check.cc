// Checking a file against the size and digest its record states.
#include "engine/served_file_check.h"

#include <vector>

namespace qv {

ServedFileCheck::ServedFileCheck(int64_t size, const std::string& sha256)
    : expected_size_(size), expected_sha256_(sha256) {
  if (!expected_sha256_.empty()) hash_ = std::make_unique<Sha256>();
}

void ServedFileCheck::Add(const void* data, size_t size) {
  seen_ += static_cast<int64_t>(size);
  if (hash_ != nullptr) hash_->Update(data, size);
}

bool ServedFileCheck::Matches() {
  if (expected_size_ >= 0 && seen_ != expected_size_) return false;
  return hash_ == nullptr || hash_->FinishHex() == expected_sha256_;
}

bool FileMatches(FileSystem& files, const std::string& path, int64_t size,
                 const std::string& sha256) {
  ServedFileCheck check(size, sha256);
  std::unique_ptr<RandomAccessFile> file;
  if (!files.NewRandomAccessFile(path, &file).ok() || file == nullptr) return false;
  std::vector<uint8_t> piece(256 * 1024);
  for (uint64_t offset = 0;;) {
    size_t read = 0;
    if (!file->Read(offset, piece.size(), piece.data(), &read).ok()) return false;
    if (read == 0) break;
    check.Add(piece.data(), read);
    offset += read;
  }
  return check.Matches();
}

}  // namespace qv
