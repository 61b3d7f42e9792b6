// Request paths checked by name first, then by where they really lead.
#include "server/file_root.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/posix/errno_status.h"

namespace qv::server {

namespace {

// realpath(3) into a string; false when the path does not resolve.
bool RealPath(const std::string& path, std::string* real) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return false;
  *real = resolved;
  std::free(resolved);
  return true;
}

}  // namespace

Status CheckPlainRelativePath(const std::string& relative) {
  auto refuse = [](const std::string& why) { return Status::Error(kErrorBadPathName, why); };
  if (relative.empty()) return refuse("the path is empty");
  if (relative.front() == '/') return refuse("the path is absolute");
  if (relative.find('\\') != std::string::npos) return refuse("the path holds a backslash");
  if (relative.find('\0') != std::string::npos) return refuse("the path holds a NUL character");
  size_t start = 0;
  for (;;) {
    const size_t slash = relative.find('/', start);
    const std::string part =
        relative.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (part.empty()) return refuse("the path has an empty part");
    if (part == "." || part == "..") return refuse("the path has a \"" + part + "\" part");
    if (slash == std::string::npos) return Status::OK();
    start = slash + 1;
  }
}

FileHandle::~FileHandle() {
  if (fd_ >= 0) ::close(fd_);
}

Status FileRoot::Open(const std::string& dir, std::unique_ptr<FileRoot>* root) {
  std::string real;
  struct stat st;
  if (!RealPath(dir, &real) || ::stat(real.c_str(), &st) != 0) {
    return PosixError("cannot use the files folder " + dir, errno);
  }
  if (!S_ISDIR(st.st_mode)) {
    return Status::Error(kErrorDirectoryName, "the files folder " + dir + " is not a folder");
  }
  root->reset(new FileRoot(real));
  return Status::OK();
}

FileRoot::Lookup FileRoot::OpenFile(const std::string& url_path, std::shared_ptr<FileHandle>* file,
                                    uint64_t* size) const {
  if (url_path == "/") return Lookup::kNotFound;  // folders are not listed
  if (url_path.empty() || url_path.front() != '/' ||
      !CheckPlainRelativePath(url_path.substr(1)).ok()) {
    return Lookup::kRefused;
  }
  std::string real;
  if (!RealPath(real_root_ + url_path, &real)) return Lookup::kNotFound;
  // Inside the root: the root itself followed by "/" (a root of "/" serves
  // everything below it).
  const std::string prefix = real_root_ == "/" ? "/" : real_root_ + "/";
  if (real.compare(0, prefix.size(), prefix) != 0) return Lookup::kNotFound;

  const int fd = ::open(real.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return Lookup::kNotFound;
  auto handle = std::make_shared<FileHandle>(fd);
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return Lookup::kNotFound;
  *file = std::move(handle);
  *size = static_cast<uint64_t>(st.st_size);
  return Lookup::kFound;
}

}  // namespace qv::server
