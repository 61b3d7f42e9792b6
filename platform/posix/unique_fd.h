// UniqueFd: a file descriptor that is closed when its owner goes away, and
// WriteAll, which writes a whole buffer to a descriptor.
#ifndef QV_PLATFORM_POSIX_UNIQUE_FD_H_
#define QV_PLATFORM_POSIX_UNIQUE_FD_H_

#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace qv {

class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  // Closes now; false when the close reports a failed write.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

// Writes size bytes of data, going on after interruptions and short writes;
// false with errno set when a write fails.
inline bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace qv

#endif  // QV_PLATFORM_POSIX_UNIQUE_FD_H_
