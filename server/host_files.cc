// Whole-file reads, atomic writes and copies, folder creation.
#include "server/host_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <random>

namespace qv::server {

namespace {

std::string Failure(const std::string& what, const std::string& path) {
  return "cannot " + what + " " + path + ": " + std::strerror(errno);
}

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
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// A new file beside path under a name nobody holds.
int CreateTempBeside(const std::string& path, mode_t mode, std::string* temp_path) {
  std::random_device random;
  for (int attempt = 0; attempt < 16; ++attempt) {
    *temp_path =
        path + ".tmp" + std::to_string(::getpid()) + "_" + std::to_string(random() % 1000000);
    const int fd = ::open(temp_path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

// Writes what produce gives into a temporary file beside path, then renames
// it over path. produce returns false (with errno set) on a failure.
template <typename Produce>
bool ReplaceFile(const std::string& path, mode_t mode, Produce produce, std::string* error) {
  std::string temp_path;
  Fd out(CreateTempBeside(path, mode, &temp_path));
  if (out.get() < 0) {
    *error = Failure("write", path);
    return false;
  }
  bool ok = produce(out.get());
  if (!ok) *error = Failure("write", path);
  if (ok && ::fsync(out.get()) != 0) {
    ok = false;
    *error = Failure("write", path);
  }
  if (!out.Close() && ok) {
    ok = false;
    *error = Failure("write", path);
  }
  if (ok && ::rename(temp_path.c_str(), path.c_str()) != 0) {
    ok = false;
    *error = Failure("write", path);
  }
  if (!ok) ::unlink(temp_path.c_str());
  return ok;
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::string* data, std::string* error) {
  Fd in(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (in.get() < 0 || ::fstat(in.get(), &st) != 0) {
    *error = Failure("read", path);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = path + " is not a file";
    return false;
  }
  data->clear();
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(in.get(), buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = Failure("read", path);
      return false;
    }
    if (n == 0) return true;
    data->append(buffer, static_cast<size_t>(n));
  }
}

bool WriteFileAtomically(const std::string& path, const std::string& data, mode_t mode,
                         std::string* error) {
  return ReplaceFile(
      path, mode, [&data](int fd) { return WriteAll(fd, data.data(), data.size()); }, error);
}

bool CopyFileAtomically(const std::string& from, const std::string& to, std::string* error) {
  Fd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (in.get() < 0 || ::fstat(in.get(), &st) != 0) {
    *error = Failure("read", from);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = from + " is not a file";
    return false;
  }
  bool read_failed = false;
  const bool ok = ReplaceFile(
      to, st.st_mode & 07777,
      [&](int fd) {
        std::unique_ptr<char[]> buffer(new char[1 << 20]);
        for (;;) {
          const ssize_t n = ::read(in.get(), buffer.get(), 1 << 20);
          if (n < 0 && errno == EINTR) continue;
          if (n < 0) {
            read_failed = true;
            return false;
          }
          if (n == 0) return true;
          if (!WriteAll(fd, buffer.get(), static_cast<size_t>(n))) return false;
        }
      },
      error);
  if (!ok && read_failed) *error = Failure("read", from);
  // The temporary file was made under the umask; give the copy its bits.
  if (ok) ::chmod(to.c_str(), st.st_mode & 07777);
  return ok;
}

bool MakeFolders(const std::string& path, std::string* error) {
  if (path.empty()) return true;
  for (size_t at = 1;; ++at) {
    at = path.find('/', at);
    const std::string part = path.substr(0, at);
    struct stat st;
    if (::stat(part.c_str(), &st) != 0) {
      if (::mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
        *error = Failure("make the folder", part);
        return false;
      }
    } else if (!S_ISDIR(st.st_mode)) {
      *error = part + " is not a folder";
      return false;
    }
    if (at == std::string::npos) return true;
  }
}

}  // namespace qv::server
