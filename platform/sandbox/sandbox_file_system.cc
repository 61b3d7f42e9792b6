// SandboxFileSystem: Windows file semantics over host files.
#include "platform/sandbox/sandbox_file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/posix/errno_status.h"
#include "platform/posix/unique_fd.h"

namespace qv::sandbox {

namespace {


class HostWritableFile : public WritableFile {
 public:
  HostWritableFile(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
  ~HostWritableFile() override { Close(); }

  Status Append(const void* data, size_t size) override {
    if (fd_ < 0) return Status::Error(kErrorInvalidHandle, name_ + " is closed");
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
      ssize_t n = ::write(fd_, p, size);
      if (n < 0) {
        if (errno == EINTR) continue;
        return PosixError("cannot write " + name_, errno);
      }
      p += n;
      size -= static_cast<size_t>(n);
    }
    return Status::OK();
  }

  Status Close() override {
    if (fd_ < 0) return Status::OK();
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) return PosixError("cannot close " + name_, errno);
    return Status::OK();
  }

 private:
  int fd_;
  std::string name_;
};

class HostRandomAccessFile : public RandomAccessFile {
 public:
  HostRandomAccessFile(int fd, uint64_t size, std::string name)
      : fd_(fd), size_(size), name_(std::move(name)) {}
  ~HostRandomAccessFile() override { ::close(fd_); }

  Status Read(uint64_t offset, size_t n, uint8_t* scratch,
              size_t* read) const override {
    *read = 0;
    while (n > 0) {
      ssize_t r = ::pread(fd_, scratch + *read, n, static_cast<off_t>(offset + *read));
      if (r < 0) {
        if (errno == EINTR) continue;
        return PosixError("cannot read " + name_, errno);
      }
      if (r == 0) break;
      *read += static_cast<size_t>(r);
      n -= static_cast<size_t>(r);
    }
    return Status::OK();
  }

  uint64_t Size() const override { return size_; }

 private:
  int fd_;
  uint64_t size_;
  std::string name_;
};

// Copies in the kernel (sharing blocks where the file system allows it).
// Returns 1 when the whole file was copied, 0 when the kernel cannot copy
// this pair and nothing was written, -1 on an error (errno set).
int CopyInKernel(int in, int out) {
  bool started = false;
  while (true) {
    const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, size_t{1} << 30, 0);
    if (n > 0) {
      started = true;
      continue;
    }
    if (n == 0) return 1;
    if (errno == EINTR) continue;
    if (!started && (errno == EXDEV || errno == ENOSYS || errno == EINVAL ||
                     errno == EOPNOTSUPP || errno == EPERM || errno == EBADF)) {
      return 0;
    }
    return -1;
  }
}

// Copies through a buffer of this process.
Status CopyThroughBuffer(int in, int out, const std::string& from, const std::string& to) {
  char buffer[65536];
  while (true) {
    ssize_t n = ::read(in, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return PosixError("cannot read " + from, errno);
    if (n == 0) return Status::OK();
    const char* p = buffer;
    while (n > 0) {
      const ssize_t w = ::write(out, p, static_cast<size_t>(n));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) return PosixError("cannot write " + to, errno);
      p += w;
      n -= w;
    }
  }
}

// A name for a copy on its way into a folder: "~qv<tag><pid>_<n>.tmp", the
// form of the control's own temporaries, which its clean-up at start-up
// removes when a killed program left one.
std::string TemporaryName(char tag) {
  static std::atomic<uint32_t> counter{0};
  return std::string("~qv") + tag + std::to_string(::getpid()) + "_" +
         std::to_string(counter++) + ".tmp";
}

// Copies the file open at in into a new file temp of the folder open at
// folder, keeping its mode bits (so that a program stays a program).
Status CopyIntoNewFile(int in, int folder, const std::string& temp, const std::string& from,
                       const std::string& to) {
  UniqueFd out(::openat(folder, temp.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (out.get() < 0) return PosixError("cannot write " + to, errno);
  // In use while it is written, as every file open for writing is.
  ::flock(out.get(), LOCK_EX | LOCK_NB);
  Status s;
  const int in_kernel = CopyInKernel(in, out.get());
  if (in_kernel < 0) {
    s = PosixError("cannot copy " + from + " to " + to, errno);
  } else if (in_kernel == 0) {
    s = CopyThroughBuffer(in, out.get(), from, to);
  }
  struct stat st;
  if (s.ok() && ::fstat(in, &st) == 0) ::fchmod(out.get(), st.st_mode & 07777);
  if (!out.Close() && s.ok()) s = PosixError("cannot write " + to, errno);
  return s;
}

Status SharingViolation(const HostLocation& location) {
  return Status::Error(kErrorSharingViolation,
                       location.path.ToString() + " is held by another program");
}

// What Windows answers for a path that names nothing: the file is missing,
// or already a folder on the way is.
Status Missing(const HostLocation& location) {
  return Status::Error(location.parent_exists ? kErrorFileNotFound : kErrorPathNotFound,
                       location.path.ToString() + " does not exist");
}

}  // namespace

SandboxFileSystem::SandboxFileSystem(Machine* machine, Registry* registry)
    : machine_(machine), registry_(registry) {}

Status SandboxFileSystem::Find(const std::string& path, HostLocation* location) {
  return machine_->Locate(path, location);
}

std::vector<std::string> SandboxFileSystem::ActualComponents(
    const HostLocation& location) const {
  std::vector<std::string> parts;
  const std::string drive = machine_->DriveFolder(location.path.drive);
  std::string rest = location.host_path.substr(drive.size());
  size_t start = 0;
  while (start < rest.size()) {
    size_t end = rest.find('/', start);
    if (end == std::string::npos) end = rest.size();
    if (end > start) parts.push_back(rest.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

bool SandboxFileSystem::StatInDrive(const HostLocation& location, struct stat* st) const {
  UniqueFd fd(machine_->OpenInDrive(location, O_PATH));
  return fd.get() >= 0 && ::fstat(fd.get(), st) == 0;
}

bool SandboxFileSystem::IsFolder(const HostLocation& location) const {
  struct stat st;
  return StatInDrive(location, &st) && S_ISDIR(st.st_mode);
}

bool SandboxFileSystem::InUse(const HostLocation& location, bool* exclusive) const {
  *exclusive = false;
  if (system_access_) return false;
  return machine_->InUse(location, exclusive);
}

Status SandboxFileSystem::CheckFolderWritable(const WinPath& folder,
                                              const std::string& what) {
  if (!system_access_ && !machine_->MayWriteFolder(folder)) {
    return Status::AccessDenied("access denied: " + machine_->profile().user_name +
                                " may not write in " + folder.ToString() + " (" + what + ")");
  }
  return Status::OK();
}

// A file that is to be deleted or overwritten: the folder must be writable,
// the file not read-only and not in use.
Status SandboxFileSystem::CheckFileReplaceable(const HostLocation& location) {
  Status s = CheckFolderWritable(location.path.Parent(), location.path.ToString());
  if (!s.ok()) return s;
  if (machine_->StoredAttributes(location.host_path) & kFileAttributeReadOnly) {
    return Status::AccessDenied("access denied: " + location.path.ToString() + " is read-only");
  }
  bool exclusive = false;
  if (InUse(location, &exclusive)) {
    return Status::Error(kErrorSharingViolation,
                         location.path.ToString() + " is in use by another program");
  }
  return Status::OK();
}

Status SandboxFileSystem::CreateDirectory(const std::string& path) {
  HostLocation loc;
  Status s = Find(path, &loc);
  if (!s.ok()) return s;
  if (loc.exists || loc.path.IsRoot()) {
    return Status::Error(kErrorAlreadyExists, loc.path.ToString() + " already exists");
  }
  if (!loc.parent_exists) {
    return Status::Error(kErrorPathNotFound, "the folder above " + loc.path.ToString() +
                                                 " does not exist");
  }
  s = CheckFolderWritable(loc.path.Parent(), "create folder");
  if (!s.ok()) return s;
  std::string leaf;
  UniqueFd folder(machine_->OpenParentInDrive(loc, &leaf));
  if (folder.get() < 0 || ::mkdirat(folder.get(), leaf.c_str(), 0755) != 0) {
    return machine_->DriveError("cannot create", loc, errno);
  }
  return Status::OK();
}

Status SandboxFileSystem::RemoveDirectory(const std::string& path) {
  HostLocation loc;
  Status s = Find(path, &loc);
  if (!s.ok()) return s;
  if (!loc.exists) return Status::NotFound(loc.path.ToString() + " does not exist");
  if (!IsFolder(loc)) {
    return Status::Error(kErrorDirectoryName, loc.path.ToString() + " is not a folder");
  }
  if (loc.path.IsRoot()) return Status::AccessDenied("cannot remove a drive's root");
  s = CheckFolderWritable(loc.path.Parent(), "remove folder");
  if (!s.ok()) return s;
  std::string leaf;
  UniqueFd folder(machine_->OpenParentInDrive(loc, &leaf));
  if (folder.get() < 0 || ::unlinkat(folder.get(), leaf.c_str(), AT_REMOVEDIR) != 0) {
    return machine_->DriveError("cannot remove", loc, errno);
  }
  machine_->ForgetPath(loc.host_path);
  return Status::OK();
}

Status SandboxFileSystem::GetFileAttributes(const std::string& path,
                                            uint32_t* attributes) {
  HostLocation loc;
  Status s = Find(path, &loc);
  if (!s.ok()) return s;
  if (!loc.exists) {
    return Missing(loc);
  }
  uint32_t a = machine_->StoredAttributes(loc.host_path);
  if (IsFolder(loc)) a |= kFileAttributeDirectory;
  *attributes = a == 0 ? kFileAttributeNormal : a;
  return Status::OK();
}

Status SandboxFileSystem::SetFileAttributes(const std::string& path,
                                            uint32_t attributes) {
  HostLocation loc;
  Status s = Find(path, &loc);
  if (!s.ok()) return s;
  if (!loc.exists) return Status::NotFound(loc.path.ToString() + " does not exist");
  if (!loc.path.IsRoot()) {
    s = CheckFolderWritable(loc.path.Parent(), "set attributes");
    if (!s.ok()) return s;
  }
  return machine_->StoreAttributes(loc.host_path, attributes);
}

Status SandboxFileSystem::DeleteFile(const std::string& path) {
  HostLocation loc;
  Status s = Find(path, &loc);
  if (!s.ok()) return s;
  if (!loc.exists) {
    return Missing(loc);
  }
  if (IsFolder(loc)) {
    return Status::AccessDenied(loc.path.ToString() + " is a folder");
  }
  s = CheckFileReplaceable(loc);
  if (!s.ok()) return s;
  std::string leaf;
  UniqueFd folder(machine_->OpenParentInDrive(loc, &leaf));
  if (folder.get() < 0 || ::unlinkat(folder.get(), leaf.c_str(), 0) != 0) {
    return machine_->DriveError("cannot delete", loc, errno);
  }
  machine_->ForgetPath(loc.host_path);
  return Status::OK();
}

Status SandboxFileSystem::MoveHostFile(const HostLocation& from,
                                       const HostLocation& to, bool replace) {
  std::string from_leaf;
  UniqueFd from_folder(machine_->OpenParentInDrive(from, &from_leaf));
  if (from_folder.get() < 0) return machine_->DriveError("cannot move", from, errno);
  std::string to_leaf;
  UniqueFd to_folder(machine_->OpenParentInDrive(to, &to_leaf));
  if (to_folder.get() < 0) return machine_->DriveError("cannot move to", to, errno);
  if (::renameat(from_folder.get(), from_leaf.c_str(), to_folder.get(), to_leaf.c_str()) == 0) {
    machine_->MovePathRecords(from.host_path, to.host_path);
    return Status::OK();
  }
  if (errno != EXDEV) return PosixError("cannot move " + from.path.ToString(), errno);
  // Another drive folder on another host file system: copy, then delete.
  if (IsFolder(from)) {
    return Status::Error(kErrorNotSameDevice, "cannot move a folder to another drive");
  }
  Status s = CopyThroughTemporary(from, to, replace, 'm');
  if (!s.ok()) return s;
  ::unlinkat(from_folder.get(), from_leaf.c_str(), 0);
  machine_->MovePathRecords(from.host_path, to.host_path);
  return Status::OK();
}

Status SandboxFileSystem::CopyThroughTemporary(const HostLocation& from, const HostLocation& to,
                                               bool replace, char tag) {
  UniqueFd in(machine_->OpenInDrive(from, O_RDONLY));
  if (in.get() < 0) return machine_->DriveError("cannot read", from, errno);
  std::string leaf;
  UniqueFd folder(machine_->OpenParentInDrive(to, &leaf));
  if (folder.get() < 0) return machine_->DriveError("cannot write", to, errno);
  const std::string temp = TemporaryName(tag);
  Status s = CopyIntoNewFile(in.get(), folder.get(), temp, from.path.ToString(),
                             to.path.ToString());
  if (s.ok() && !replace && ::faccessat(folder.get(), leaf.c_str(), F_OK, AT_SYMLINK_NOFOLLOW) == 0) {
    s = Status::Error(kErrorAlreadyExists, to.path.ToString() + " already exists");
  }
  if (s.ok() && ::renameat(folder.get(), temp.c_str(), folder.get(), leaf.c_str()) != 0) {
    s = PosixError("cannot copy to " + to.path.ToString(), errno);
  }
  if (!s.ok()) ::unlinkat(folder.get(), temp.c_str(), 0);
  return s;
}

Status SandboxFileSystem::MoveFile(const std::string& from, const std::string& to) {
  return MoveFileEx(from, to, 0);
}

Status SandboxFileSystem::MoveFileEx(const std::string& from, const std::string& to,
                                     uint32_t flags) {
  HostLocation src;
  Status s = Find(from, &src);
  if (!s.ok()) return s;
  if (flags & kMoveFileDelayUntilReboot) return RecordDelayedMove(src, to, flags);
  if (!src.exists) {
    return Missing(src);
  }
  HostLocation dst;
  s = Find(to, &dst);
  if (!s.ok()) return s;
  // A drive's root has no name to move it by, nor one to give it.
  if (src.path.components.empty() || dst.path.components.empty()) {
    return Status::AccessDenied("cannot move " + src.path.ToString() + " to " +
                                dst.path.ToString() + ": the root of a drive");
  }
  if (!dst.parent_exists && !dst.exists) {
    return Status::Error(kErrorPathNotFound,
                         "the folder above " + dst.path.ToString() + " does not exist");
  }
  s = CheckFolderWritable(src.path.Parent(), "move from");
  if (!s.ok()) return s;
  s = CheckFolderWritable(dst.path.Parent(), "move to");
  if (!s.ok()) return s;
  bool exclusive = false;
  if (InUse(src, &exclusive)) {
    return Status::Error(kErrorSharingViolation,
                         src.path.ToString() + " is in use by another program");
  }
  const bool same_file = dst.exists && dst.host_path == src.host_path;
  if (dst.exists && !same_file) {
    if (!(flags & kMoveFileReplaceExisting)) {
      return Status::Error(kErrorAlreadyExists, dst.path.ToString() + " already exists");
    }
    if (IsFolder(dst)) {
      return Status::AccessDenied(dst.path.ToString() + " is a folder");
    }
    s = CheckFileReplaceable(dst);
    if (!s.ok()) return s;
  }
  if (same_file) {
    // A change of letter case only: give the file its new name.
    HostLocation renamed = dst;
    renamed.host_path = dst.host_path.substr(0, dst.host_path.rfind('/') + 1) +
                        dst.path.components.back();
    return MoveHostFile(src, renamed, true);
  }
  return MoveHostFile(src, dst, flags & kMoveFileReplaceExisting);
}

Status SandboxFileSystem::RecordDelayedMove(const HostLocation& from,
                                            const std::string& to, uint32_t flags) {
  if (!machine_->is_nt()) {
    return Status::Error(kErrorCallNotImplemented,
                         "moves delayed until restart are not available on this family");
  }
  if (registry_ == nullptr) {
    return Status::Error(kErrorCallNotImplemented, "no registry for delayed moves");
  }
  // Entries come in pairs: "\??\" source, then "!\??\" target to replace an
  // existing file, or an empty text to delete the source.
  const TextCodec& codec = machine_->codec();
  std::string entry = codec.ToAnsi("\\??\\" + from.path.ToString());
  entry.push_back('\0');
  if (!to.empty()) {
    WinPath target;
    Status s = machine_->ParsePath(to, &target);
    if (!s.ok()) return s;
    if (flags & kMoveFileReplaceExisting) entry.push_back('!');
    entry += codec.ToAnsi("\\??\\" + target.ToString());
  }
  entry.push_back('\0');

  RegHandle key = 0;
  uint32_t rc = registry_->CreateKeyEx(kHkeyLocalMachine, kSessionManagerKey, 0, "", 0,
                                       kKeySetValue | kKeyQueryValue, &key, nullptr);
  if (rc != 0) return Status::Error(rc, "cannot record a delayed move");
  std::string existing;
  uint32_t size = 0;
  uint32_t type = 0;
  rc = registry_->QueryValueEx(key, kPendingRenamesValue, nullptr, &type, nullptr, &size);
  if (rc == 0 && size > 0) {
    existing.resize(size);
    rc = registry_->QueryValueEx(key, kPendingRenamesValue, nullptr, &type,
                                 reinterpret_cast<uint8_t*>(existing.data()), &size);
    existing.resize(rc == 0 ? size : 0);
  }
  // A multi-string ends with an empty string: drop that final zero, append
  // the new pair and end the list again.
  if (!existing.empty() && existing.back() == '\0') existing.pop_back();
  std::string value = existing + entry;
  value.push_back('\0');
  rc = registry_->SetValueEx(key, kPendingRenamesValue, 0, kRegMultiSz,
                             reinterpret_cast<const uint8_t*>(value.data()),
                             static_cast<uint32_t>(value.size()));
  registry_->CloseKey(key);
  if (rc != 0) return Status::Error(rc, "cannot record a delayed move");
  return Status::OK();
}

Status SandboxFileSystem::CopyFile(const std::string& from, const std::string& to,
                                   bool fail_if_exists) {
  HostLocation src;
  Status s = Find(from, &src);
  if (!s.ok()) return s;
  if (!src.exists) {
    return Missing(src);
  }
  if (IsFolder(src)) {
    return Status::AccessDenied(src.path.ToString() + " is a folder");
  }
  bool exclusive = false;
  if (InUse(src, &exclusive) && exclusive) {
    return Status::Error(kErrorSharingViolation,
                         src.path.ToString() + " is held by another program");
  }
  HostLocation dst;
  s = Find(to, &dst);
  if (!s.ok()) return s;
  if (!dst.exists && !dst.parent_exists) {
    return Status::Error(kErrorPathNotFound,
                         "the folder above " + dst.path.ToString() + " does not exist");
  }
  s = CheckFolderWritable(dst.path.Parent(), "copy to");
  if (!s.ok()) return s;
  if (dst.exists) {
    if (fail_if_exists) {
      return Status::Error(kErrorFileExists, dst.path.ToString() + " already exists");
    }
    if (IsFolder(dst)) {
      return Status::AccessDenied(dst.path.ToString() + " is a folder");
    }
    s = CheckFileReplaceable(dst);
    if (!s.ok()) return s;
  }
  // Through a temporary file, so that a failed copy leaves the old file.
  s = CopyThroughTemporary(src, dst, /*replace=*/true, 'c');
  if (!s.ok()) return s;
  machine_->StoreAttributes(dst.host_path, machine_->StoredAttributes(src.host_path));
  return Status::OK();
}

Status SandboxFileSystem::GetFileSize(const std::string& path, uint64_t* size) {
  HostLocation loc;
  Status s = Find(path, &loc);
  if (!s.ok()) return s;
  struct stat st;
  if (!loc.exists || !StatInDrive(loc, &st)) {
    return Status::NotFound(loc.path.ToString() + " does not exist");
  }
  if (S_ISDIR(st.st_mode)) return Status::AccessDenied(loc.path.ToString() + " is a folder");
  *size = static_cast<uint64_t>(st.st_size);
  return Status::OK();
}

Status SandboxFileSystem::NewWritableFile(const std::string& path, OpenMode mode,
                                          std::unique_ptr<WritableFile>* result) {
  result->reset();
  HostLocation loc;
  Status s = Find(path, &loc);
  if (!s.ok()) return s;
  if (!loc.exists && !loc.parent_exists) {
    return Status::Error(kErrorPathNotFound,
                         "the folder above " + loc.path.ToString() + " does not exist");
  }
  if (loc.path.IsRoot() || (loc.exists && IsFolder(loc))) {
    return Status::AccessDenied(loc.path.ToString() + " is a folder");
  }
  if (loc.exists) {
    s = CheckFileReplaceable(loc);
  } else {
    s = CheckFolderWritable(loc.path.Parent(), "create file");
  }
  if (!s.ok()) return s;
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
  flags |= mode == OpenMode::kAppend ? O_APPEND : O_TRUNC;
  const int fd = machine_->OpenInDrive(loc, flags, 0644);
  if (fd < 0) return machine_->DriveError("cannot open", loc, errno);
  // The writer holds the file exclusively while it is open, as a file opened
  // without sharing is held on Windows: the machine's in-use test sees it,
  // in this process too, and other programs cannot read half of it.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return SharingViolation(loc);
  }
  result->reset(new HostWritableFile(fd, loc.path.ToString()));
  return Status::OK();
}

Status SandboxFileSystem::NewRandomAccessFile(const std::string& path,
                                              std::unique_ptr<RandomAccessFile>* result) {
  result->reset();
  HostLocation loc;
  Status s = Find(path, &loc);
  if (!s.ok()) return s;
  if (!loc.exists) {
    return Missing(loc);
  }
  bool exclusive = false;
  if (!system_access_ && machine_->ListedInUse(loc.path, &exclusive) && exclusive) {
    return SharingViolation(loc);
  }
  // One descriptor serves for the checks and the reading.
  const int fd = machine_->OpenInDrive(loc, O_RDONLY | O_NONBLOCK);
  if (fd < 0) return machine_->DriveError("cannot open", loc, errno);
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    Status e = PosixError("cannot open " + loc.path.ToString(), errno);
    ::close(fd);
    return e;
  }
  if (S_ISDIR(st.st_mode)) {
    ::close(fd);
    return Status::AccessDenied(loc.path.ToString() + " is a folder");
  }
  if (!system_access_ && Machine::LockedByOthers(fd, &exclusive) && exclusive) {
    ::close(fd);
    return SharingViolation(loc);
  }
  result->reset(new HostRandomAccessFile(fd, static_cast<uint64_t>(st.st_size),
                                         loc.path.ToString()));
  return Status::OK();
}

Status SandboxFileSystem::GetShortPathName(const std::string& path,
                                           std::string* short_path) {
  HostLocation loc;
  Status s = Find(path, &loc);
  if (!s.ok()) return s;
  if (!loc.exists) {
    return Missing(loc);
  }
  std::string out(1, loc.path.drive);
  out += ":\\";
  std::string host_dir = machine_->DriveFolder(loc.path.drive);
  const std::vector<std::string> parts = ActualComponents(loc);
  for (size_t i = 0; i < parts.size(); ++i) {
    std::string short_name;
    s = machine_->ShortNameOf(host_dir, parts[i], &short_name);
    if (!s.ok()) return s;
    if (i) out += "\\";
    out += short_name;
    host_dir += "/" + parts[i];
  }
  *short_path = out;
  return Status::OK();
}

Status SandboxFileSystem::GetLongPathName(const std::string& path,
                                          std::string* long_path) {
  HostLocation loc;
  Status s = Find(path, &loc);
  if (!s.ok()) return s;
  if (!loc.exists) {
    return Missing(loc);
  }
  WinPath actual = loc.path;
  actual.components = ActualComponents(loc);
  *long_path = actual.ToString();
  return Status::OK();
}

Status SandboxFileSystem::ListDirectory(const std::string& path,
                                        std::vector<DirEntry>* entries) {
  entries->clear();
  HostLocation loc;
  Status s = Find(path, &loc);
  if (!s.ok()) return s;
  if (!loc.exists || !IsFolder(loc)) {
    return Status::Error(kErrorPathNotFound, loc.path.ToString() + " is not a folder");
  }
  const int fd = machine_->OpenInDrive(loc, O_RDONLY | O_DIRECTORY);
  DIR* dir = fd < 0 ? nullptr : ::fdopendir(fd);
  if (!dir) {
    const int error = errno;
    if (fd >= 0) ::close(fd);
    return machine_->DriveError("cannot read", loc, error);
  }
  while (dirent* e = ::readdir(dir)) {
    if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
    DirEntry entry;
    entry.name = e->d_name;
    struct stat st;
    entry.is_directory = ::fstatat(::dirfd(dir), e->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
    entries->push_back(std::move(entry));
  }
  ::closedir(dir);
  std::sort(entries->begin(), entries->end(), [](const DirEntry& a, const DirEntry& b) {
    return FoldCase(a.name) < FoldCase(b.name);
  });
  return Status::OK();
}

std::vector<char> SandboxFileSystem::Drives() {
  std::vector<char> drives;
  for (const auto& [letter, folder] : machine_->profile().drives) drives.push_back(letter);
  return drives;
}

std::string SandboxFileSystem::GetCurrentDirectory() {
  return machine_->profile().current_directory;
}

}  // namespace qv::sandbox
