// Opening below a folder: openat2 with RESOLVE_BENEATH, or a walk that
// reads the links itself and opens component by component with O_NOFOLLOW.
#include "platform/sandbox/open_beneath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <deque>
#include <vector>

namespace qv::sandbox {

namespace {

// As many links as the kernel follows in one path.
constexpr int kMaxLinks = 40;

std::deque<std::string> Split(const std::string& path) {
  std::deque<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::string Join(const std::vector<std::string>& parts) {
  std::string s;
  for (const std::string& p : parts) s += (s.empty() ? "" : "/") + p;
  return s;
}

// A path resolved below the folder: links replaced by what they point to.
struct Resolution {
  std::vector<std::string> components;
  int error = 0;
  std::string link;    // the last link followed
  std::string target;  // and its text
};

Resolution Resolve(int dir_fd, const std::string& rel, bool follow_last) {
  Resolution r;
  std::deque<std::string> pending = Split(rel);
  int links = 0;
  while (!pending.empty()) {
    std::string comp = std::move(pending.front());
    pending.pop_front();
    if (comp == ".") continue;
    if (comp == "..") {
      if (r.components.empty()) {
        r.error = EXDEV;
        return r;
      }
      r.components.pop_back();
      continue;
    }
    r.components.push_back(comp);
    const std::string path = Join(r.components);
    struct stat st;
    if (::fstatat(dir_fd, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      // Missing from here on: the open says what that means.
      for (std::string& rest : pending) r.components.push_back(std::move(rest));
      return r;
    }
    if (!S_ISLNK(st.st_mode) || (pending.empty() && !follow_last)) continue;
    if (++links > kMaxLinks) {
      r.error = ELOOP;
      return r;
    }
    char buffer[4096];
    const ssize_t n = ::readlinkat(dir_fd, path.c_str(), buffer, sizeof(buffer));
    if (n < 0 || static_cast<size_t>(n) >= sizeof(buffer)) {
      r.error = n < 0 ? errno : ENAMETOOLONG;
      return r;
    }
    r.link = path;
    r.target.assign(buffer, static_cast<size_t>(n));
    r.components.pop_back();
    if (r.target.empty() || r.target[0] == '/') {
      r.error = r.target.empty() ? ENOENT : EXDEV;
      return r;
    }
    std::deque<std::string> target = Split(r.target);
    pending.insert(pending.begin(), target.begin(), target.end());
  }
  return r;
}

// Opens resolved components one by one, none of them a link.
int OpenComponents(int dir_fd, const std::vector<std::string>& components, int flags,
                   mode_t mode) {
  if (components.empty()) return ::openat(dir_fd, ".", flags | O_CLOEXEC, mode);
  int folder = dir_fd;
  for (size_t i = 0; i + 1 < components.size(); ++i) {
    int next = -1;
    if (components[i] != "..") {
      next = ::openat(folder, components[i].c_str(),
                      O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    } else {
      errno = ENOENT;
    }
    const int saved = errno;
    if (folder != dir_fd) ::close(folder);
    if (next < 0) {
      errno = saved;
      return -1;
    }
    folder = next;
  }
  int fd = -1;
  if (components.back() != "..") {
    fd = ::openat(folder, components.back().c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
  } else {
    errno = ENOENT;
  }
  const int saved = errno;
  if (folder != dir_fd) ::close(folder);
  errno = saved;
  return fd;
}

// -1 with errno ENOSYS when this kernel (or the filter around this process)
// has no openat2.
int OpenWithKernel(int dir_fd, const std::string& rel, int flags, mode_t mode) {
  static std::atomic<bool> unavailable{false};
  if (unavailable.load(std::memory_order_relaxed)) {
    errno = ENOSYS;
    return -1;
  }
  open_how how{};
  how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
  const bool creates = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
  how.mode = creates ? mode : 0;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  const char* path = rel.empty() ? "." : rel.c_str();
  for (int attempt = 0; attempt < 8; ++attempt) {
    const long fd = ::syscall(SYS_openat2, dir_fd, path, &how, sizeof(how));
    if (fd >= 0) return static_cast<int>(fd);
    // EAGAIN: a rename elsewhere raced the lookup; it is safe to try again.
    if (errno == EAGAIN) continue;
    if (errno == ENOSYS || errno == EPERM) {
      if (errno == ENOSYS) unavailable.store(true, std::memory_order_relaxed);
      errno = ENOSYS;
    }
    return -1;
  }
  errno = ENOSYS;
  return -1;
}

}  // namespace

int OpenBeneathByWalk(int dir_fd, const std::string& rel, int flags, mode_t mode) {
  const Resolution r = Resolve(dir_fd, rel, (flags & O_NOFOLLOW) == 0);
  if (r.error != 0) {
    errno = r.error;
    return -1;
  }
  return OpenComponents(dir_fd, r.components, flags, mode);
}

int OpenBeneath(int dir_fd, const std::string& rel, int flags, mode_t mode) {
  const int fd = OpenWithKernel(dir_fd, rel, flags, mode);
  if (fd >= 0 || errno != ENOSYS) return fd;
  return OpenBeneathByWalk(dir_fd, rel, flags, mode);
}

bool FindEscapingLink(int dir_fd, const std::string& rel, std::string* link,
                      std::string* target) {
  const Resolution r = Resolve(dir_fd, rel, /*follow_last=*/true);
  if (r.error != EXDEV) return false;
  *link = r.link;
  *target = r.target;
  return true;
}

}  // namespace qv::sandbox
