// LineSpool: texts in memory, then in a temporary file.
#include "platform/sandbox/line_spool.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace qv::sandbox {

namespace {

constexpr size_t kLengthBytes = sizeof(uint32_t);

// Calls each for every whole text in bytes; returns the bytes it used.
size_t Split(std::string_view bytes, const std::function<void(std::string_view)>& each) {
  size_t at = 0;
  while (bytes.size() - at >= kLengthBytes) {
    uint32_t length = 0;
    std::memcpy(&length, bytes.data() + at, kLengthBytes);
    if (bytes.size() - at - kLengthBytes < length) break;
    each(bytes.substr(at + kLengthBytes, length));
    at += kLengthBytes + length;
  }
  return at;
}

}  // namespace

void LineSpool::push_back(std::string_view text) {
  // A text longer than 4 GiB is cut; no report line comes near.
  const uint32_t length = static_cast<uint32_t>(std::min<size_t>(text.size(), UINT32_MAX));
  char raw[kLengthBytes];
  std::memcpy(raw, &length, kLengthBytes);
  memory_.append(raw, kLengthBytes);
  memory_.append(text.data(), length);
  ++count_;
  if (memory_.size() < memory_limit_ || file_failed_) return;
  if (!file_) file_.reset(std::tmpfile());
  if (!file_ || std::fseek(file_.get(), static_cast<long>(file_bytes_), SEEK_SET) != 0 ||
      std::fwrite(memory_.data(), 1, memory_.size(), file_.get()) != memory_.size()) {
    // What the file holds so far stays good; the rest stays in memory.
    file_failed_ = true;
    return;
  }
  file_bytes_ += memory_.size();
  memory_.clear();
}

bool LineSpool::ForEach(const std::function<void(std::string_view)>& each) const {
  bool ok = true;
  if (file_bytes_ > 0) {
    std::FILE* file = file_.get();
    ok = std::fflush(file) == 0 && std::fseek(file, 0, SEEK_SET) == 0;
    std::string buffer;
    std::vector<char> chunk(1 << 16);
    for (uint64_t left = file_bytes_; ok && left > 0;) {
      const size_t got = std::fread(
          chunk.data(), 1, static_cast<size_t>(std::min<uint64_t>(chunk.size(), left)), file);
      if (got == 0) {
        ok = false;
        break;
      }
      left -= got;
      buffer.append(chunk.data(), got);
      buffer.erase(0, Split(buffer, each));
    }
  }
  Split(memory_, each);
  return ok;
}

std::vector<std::string> LineSpool::lines() const {
  std::vector<std::string> all;
  ForEach([&](std::string_view text) { all.emplace_back(text); });
  return all;
}

}  // namespace qv::sandbox
