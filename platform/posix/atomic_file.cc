// Temporary file, fsync, rename, fsync of the folder.
#include "platform/posix/atomic_file.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "platform/posix/errno_status.h"
#include "platform/posix/unique_fd.h"

namespace qv {

namespace {

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
  UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return false;
  return ::fsync(dir.get()) == 0 || errno == EINVAL;
}

}  // namespace

Status ReplaceFileAtomically(const std::string& path, mode_t mode,
                             const std::function<bool(int fd)>& produce) {
  std::string temp_path;
  UniqueFd out(CreateTempBeside(path, mode, &temp_path));
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

namespace {

// The pid of a temporary's name "<name>.tmp<pid>_<n>", or 0 when the name is
// not one.
long TemporaryPid(const std::string& name) {
  const size_t tmp = name.rfind(".tmp");
  if (tmp == std::string::npos || tmp == 0) return 0;
  const size_t digits = tmp + 4;
  const size_t underscore = name.find('_', digits);
  auto all_digits = [&](size_t from, size_t to) {
    return to > from && name.find_first_not_of("0123456789", from) >= to;
  };
  if (underscore == std::string::npos || !all_digits(digits, underscore) ||
      !all_digits(underscore + 1, name.size()) || underscore - digits > 9) {
    return 0;
  }
  return std::strtol(name.substr(digits, underscore - digits).c_str(), nullptr, 10);
}

}  // namespace

int SweepDeadTemporaries(const std::string& folder, bool recursive) {
  namespace fs = std::filesystem;
  std::vector<fs::path> dead;
  auto visit = [&](const fs::directory_entry& entry) {
    if (!entry.is_regular_file()) return;
    const long pid = TemporaryPid(entry.path().filename().string());
    if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
      dead.push_back(entry.path());
    }
  };
  std::error_code error;
  if (recursive) {
    for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
      visit(*it);
    }
  } else {
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
      visit(*it);
    }
  }
  int removed = 0;
  for (const fs::path& path : dead) removed += fs::remove(path, error) ? 1 : 0;
  return removed;
}

}  // namespace qv
