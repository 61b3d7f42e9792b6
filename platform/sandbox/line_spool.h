// LineSpool: an ordered list of texts for a report that grows with its input
// (the start of a machine reports one problem for each bad line of a
// wininit.ini, however long). It keeps its newest texts in memory up to a
// limit and moves them on to an unnamed temporary file on the host when the
// limit is reached, so that its memory stays flat however many texts it
// holds; they are read back in order.
//
// A spool is moved, not copied, and used by one thread.
#ifndef QV_PLATFORM_SANDBOX_LINE_SPOOL_H_
#define QV_PLATFORM_SANDBOX_LINE_SPOOL_H_

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qv::sandbox {

class LineSpool {
 public:
  LineSpool() = default;
  // memory_limit: the bytes held in memory before they go to the file.
  explicit LineSpool(size_t memory_limit) : memory_limit_(memory_limit) {}
  LineSpool(LineSpool&&) = default;
  LineSpool& operator=(LineSpool&&) = default;

  void push_back(std::string_view text);
  size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }

  // Calls each with every text in the order added. Returns false when the
  // file could not be read back; the texts of memory are given all the same.
  bool ForEach(const std::function<void(std::string_view)>& each) const;
  // Every text, in order; for short lists.
  std::vector<std::string> lines() const;

 private:
  struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };

  size_t memory_limit_ = 1 << 20;
  size_t count_ = 0;
  // Each text as its length (4 bytes) and its bytes, first in the file and
  // then in memory.
  std::string memory_;
  std::unique_ptr<std::FILE, FileCloser> file_;
  uint64_t file_bytes_ = 0;   // what the file holds
  bool file_failed_ = false;  // a write failed: the rest stays in memory
};

}  // namespace qv::sandbox

#endif  // QV_PLATFORM_SANDBOX_LINE_SPOOL_H_
