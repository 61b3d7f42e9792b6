// SandboxFileSystem: the machine's files and folders on the host.
//
// Every operation maps its Windows paths with Machine::Locate and then checks
// what Windows would check before it touches the host: the user's right to
// write in the folder, the read-only attribute, files in use. Host files are
// opened, made, removed and moved only below their drive folder
// (Machine::OpenInDrive and the *at calls): a symbolic link that leads out of
// the drive is refused with ERROR_ACCESS_DENIED. Moves delayed
// until the next start are recorded where the machine's family keeps them:
// on the NT family in PendingFileRenameOperations under
// HKLM\SYSTEM\CurrentControlSet\Control\Session Manager; the 9x family has no
// such moves (ERROR_CALL_NOT_IMPLEMENTED), it uses wininit.ini instead.
//
// Used from one thread.
#ifndef QV_PLATFORM_SANDBOX_SANDBOX_FILE_SYSTEM_H_
#define QV_PLATFORM_SANDBOX_SANDBOX_FILE_SYSTEM_H_

#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/registry.h"
#include "platform/sandbox/machine.h"

namespace qv::sandbox {

constexpr uint32_t kErrorCallNotImplemented = 120;

// Where the NT family keeps the moves delayed until the next start.
constexpr const char* kSessionManagerKey =
    "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr const char* kPendingRenamesValue = "PendingFileRenameOperations";

class SandboxFileSystem : public FileSystem {
 public:
  // registry may be null; delayed moves then fail.
  SandboxFileSystem(Machine* machine, Registry* registry);

  Status CreateDirectory(const std::string& path) override;
  Status RemoveDirectory(const std::string& path) override;
  Status GetFileAttributes(const std::string& path,
                           uint32_t* attributes) override;
  Status SetFileAttributes(const std::string& path,
                           uint32_t attributes) override;
  Status DeleteFile(const std::string& path) override;
  Status MoveFile(const std::string& from, const std::string& to) override;
  Status MoveFileEx(const std::string& from, const std::string& to,
                    uint32_t flags) override;
  Status CopyFile(const std::string& from, const std::string& to,
                  bool fail_if_exists) override;
  Status GetFileSize(const std::string& path, uint64_t* size) override;
  Status NewWritableFile(const std::string& path, OpenMode mode,
                         std::unique_ptr<WritableFile>* result) override;
  Status NewRandomAccessFile(
      const std::string& path,
      std::unique_ptr<RandomAccessFile>* result) override;
  Status GetShortPathName(const std::string& path,
                          std::string* short_path) override;
  Status GetLongPathName(const std::string& path,
                         std::string* long_path) override;
  Status ListDirectory(const std::string& path,
                       std::vector<DirEntry>* entries) override;
  std::vector<char> Drives() override;
  std::string GetCurrentDirectory() override;

  // While set, this object acts for the machine itself at its start rather
  // than for its user: no program holds any file yet and the system is not
  // bound by the user's rights, so files in use and folder rights are not
  // checked. The read-only attribute still holds.
  void set_system_access(bool on) { system_access_ = on; }
  bool system_access() const { return system_access_; }

 private:
  // Maps path; fails as Windows does for a path that cannot name anything.
  Status Find(const std::string& path, HostLocation* location);
  // The actual names of every component of an existing location.
  std::vector<std::string> ActualComponents(const HostLocation& location) const;
  Status CheckFolderWritable(const WinPath& folder, const std::string& what);
  Status CheckFileReplaceable(const HostLocation& location);
  Status RecordDelayedMove(const HostLocation& from, const std::string& to,
                           uint32_t flags);
  Status MoveHostFile(const HostLocation& from, const HostLocation& to,
                      bool replace);
  // Copies from into a temporary beside to (named with tag), then gives it
  // to's name; without replace an existing to is left and reported.
  Status CopyThroughTemporary(const HostLocation& from, const HostLocation& to, bool replace,
                              char tag);

  // What the host file of location is, reached below its drive folder;
  // false when it cannot be reached.
  bool StatInDrive(const HostLocation& location, struct stat* st) const;
  bool IsFolder(const HostLocation& location) const;

    // Whether another program holds the file (never while system_access_).
  bool InUse(const HostLocation& location, bool* exclusive) const;

  Machine* machine_;
  Registry* registry_;
  bool system_access_ = false;
};

}  // namespace qv::sandbox

#endif  // QV_PLATFORM_SANDBOX_SANDBOX_FILE_SYSTEM_H_
