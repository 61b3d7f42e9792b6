// Temporary file, fsync, rename, fsync of the folder.
#include "platform/posix/atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <random>

#include "platform/posix/errno_status.h"

namespace qv {

namespace {

// Closes a descriptor when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
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

bool WriteAll(int fd, const char* data, size_t size) {
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

// A new file beside path under a name nobody holds.
int CreateTempBeside(const std::string& path, mode_t mode, std::string* temp_path) {
  std::random_device random;
  for (int attempt = 0; attempt < 16; ++attempt) {
    *temp_path = path + ".tmp" + std::to_string(::getpid()) + "_" +
                 std::to_string(random() % 1000000);
    const int fd = ::open(temp_path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

// Flushes the folder that holds path, so that a rename in it is on the disk.
bool SyncFolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const std::string folder =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return false;
  return ::fsync(dir.get()) == 0 || errno == EINVAL;
}

}  // namespace

Status ReplaceFileAtomically(const std::string& path, mode_t mode,
                             const std::function<bool(int fd)>& produce) {
  std::string temp_path;
  Fd out(CreateTempBeside(path, mode, &temp_path));
  if (out.get() < 0) return PosixError("cannot write " + path, errno);
  bool ok = produce(out.get()) && ::fsync(out.get()) == 0;
  int error = ok ? 0 : errno;
  if (!out.Close() && ok) {
    ok = false;
    error = errno;
  }
  if (ok && ::rename(temp_path.c_str(), path.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    ::unlink(temp_path.c_str());
    return PosixError("cannot write " + path, error);
  }
  if (!SyncFolderOf(path)) return PosixError("cannot write " + path, errno);
  return Status::OK();
}

Status WriteFileAtomically(const std::string& path, std::string_view data, mode_t mode) {
  return ReplaceFileAtomically(path, mode, [data](int fd) {
    return WriteAll(fd, data.data(), data.size());
  });
}

}  // namespace qv
