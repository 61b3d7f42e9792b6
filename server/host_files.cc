// Whole-file reads, atomic copies, folder creation.
#include "server/host_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "platform/posix/atomic_file.h"
#include "platform/posix/errno_status.h"
#include "platform/posix/unique_fd.h"

namespace qv::server {

namespace {

// Opens path for reading; a Status that names it when it is not a regular
// file that can be read.
Status OpenRegularFile(const std::string& path, UniqueFd* in, struct stat* st) {
  if (in->get() < 0 || ::fstat(in->get(), st) != 0) return PosixError("cannot read " + path, errno);
  if (!S_ISREG(st->st_mode)) return Status::AccessDenied(path + " is not a file");
  return Status::OK();
}

}  // namespace

Status ReadWholeFile(const std::string& path, std::string* data) {
  UniqueFd in(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st;
  Status opened = OpenRegularFile(path, &in, &st);
  if (!opened.ok()) return opened;
  data->clear();
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(in.get(), buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return PosixError("cannot read " + path, errno);
    if (n == 0) return Status::OK();
    data->append(buffer, static_cast<size_t>(n));
  }
}

Status CopyFileAtomically(const std::string& from, const std::string& to) {
  UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st;
  Status opened = OpenRegularFile(from, &in, &st);
  if (!opened.ok()) return opened;
  const mode_t mode = st.st_mode & 07777;
  int read_error = 0;
  Status copied = ReplaceFileAtomically(to, mode, [&](int fd) {
    constexpr size_t kBlock = 1 << 20;
    std::unique_ptr<char[]> buffer(new char[kBlock]);
    for (;;) {
      const ssize_t n = ::read(in.get(), buffer.get(), kBlock);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        read_error = errno;
        return false;
      }
      if (n == 0) break;
      if (!WriteAll(fd, buffer.get(), static_cast<size_t>(n))) return false;
    }
    // The new file was made under the umask; the copy gets the bits of the
    // original before anyone can see it.
    return ::fchmod(fd, mode) == 0;
  });
  if (read_error != 0) return PosixError("cannot read " + from, read_error);
  return copied;
}

Status MakeFolders(const std::string& path) {
  if (path.empty()) return Status::OK();
  for (size_t at = 1;; ++at) {
    at = path.find('/', at);
    const std::string part = path.substr(0, at);
    struct stat st;
    if (::stat(part.c_str(), &st) != 0) {
      if (::mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
        return PosixError("cannot make the folder " + part, errno);
      }
    } else if (!S_ISDIR(st.st_mode)) {
      return Status::Error(kErrorPathNotFound, part + " is not a folder");
    }
    if (at == std::string::npos) return Status::OK();
  }
}

}  // namespace qv::server
