// FileSystem: files and folders of the machine, named by Windows paths.
//
// Every path is a Windows path ("C:\Program Files\x.dll", "\Ostrel\Temp" on
// the current drive, "/" accepted as a separator). Names match without regard
// to case and a short (8.3) name of a component matches like its long name.
// Results are Status values whose code is the Windows error code of the same
// failure (ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED,
// ERROR_ALREADY_EXISTS, ERROR_SHARING_VIOLATION, ...).
//
// A file counts as in use while another program holds it; such a file cannot
// be deleted, replaced or moved, and one held exclusively cannot be opened.
//
// Implementations are used from the UI thread; file objects belong to the
// thread that opened them. Every file object closes its handle when it is
// destroyed.
//
// Text: paths and names are UTF-8. The Windows backend passes them whole to the
// wide entry points; the sandbox models a machine whose file names are ANSI, so
// there a character its code page lacks becomes "?". File contents are bytes.
#ifndef QV_PLATFORM_FILE_SYSTEM_H_
#define QV_PLATFORM_FILE_SYSTEM_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/status.h"

namespace qv {

// File attributes.
constexpr uint32_t kFileAttributeReadOnly = 0x01;
constexpr uint32_t kFileAttributeHidden = 0x02;
constexpr uint32_t kFileAttributeSystem = 0x04;
constexpr uint32_t kFileAttributeDirectory = 0x10;
constexpr uint32_t kFileAttributeArchive = 0x20;
constexpr uint32_t kFileAttributeNormal = 0x80;

// MoveFileEx flags.
constexpr uint32_t kMoveFileReplaceExisting = 0x1;
constexpr uint32_t kMoveFileCopyAllowed = 0x2;
constexpr uint32_t kMoveFileDelayUntilReboot = 0x4;

// A file open for writing. Writes go to the file's current end. Until it is
// closed the file is in use, also for other openers in the same process.
class WritableFile {
 public:
  virtual ~WritableFile() = default;
  virtual Status Append(const void* data, size_t size) = 0;
  // Flushes and closes; later calls fail. The destructor closes too.
  virtual Status Close() = 0;
};

// A file open for reading at any offset.
class RandomAccessFile {
 public:
  virtual ~RandomAccessFile() = default;
  // Reads up to n bytes at offset into scratch; *read is the count read
  // (short only at the end of the file).
  virtual Status Read(uint64_t offset, size_t n, uint8_t* scratch,
                      size_t* read) const = 0;
  virtual uint64_t Size() const = 0;
};

struct DirEntry {
  std::string name;  // the long name
  bool is_directory = false;
};

enum class OpenMode {
  kCreateAlways,  // create or truncate; no sharing while open
  kAppend,        // open or create, write at the end
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Creates one folder; its parent must exist. ERROR_ALREADY_EXISTS when a
  // file or folder of that name is there, ERROR_PATH_NOT_FOUND when the parent
  // is missing, ERROR_INVALID_NAME for a name Windows refuses.
  virtual Status CreateDirectory(const std::string& path) = 0;
  // Removes an empty folder.
  virtual Status RemoveDirectory(const std::string& path) = 0;

  // The attributes of a file or folder; ERROR_FILE_NOT_FOUND when absent.
  virtual Status GetFileAttributes(const std::string& path,
                                   uint32_t* attributes) = 0;
  virtual Status SetFileAttributes(const std::string& path,
                                   uint32_t attributes) = 0;

  virtual Status DeleteFile(const std::string& path) = 0;
  // Moves a file or folder; fails when the target exists.
  virtual Status MoveFile(const std::string& from, const std::string& to) = 0;
  // MoveFileEx with kMoveFile* flags. With kMoveFileDelayUntilReboot the move
  // is recorded for the next start of the machine instead of being made.
  virtual Status MoveFileEx(const std::string& from, const std::string& to,
                            uint32_t flags) = 0;
  virtual Status CopyFile(const std::string& from, const std::string& to,
                          bool fail_if_exists) = 0;

  virtual Status GetFileSize(const std::string& path, uint64_t* size) = 0;

  virtual Status NewWritableFile(const std::string& path, OpenMode mode,
                                 std::unique_ptr<WritableFile>* result) = 0;
  virtual Status NewRandomAccessFile(
      const std::string& path, std::unique_ptr<RandomAccessFile>* result) = 0;

  // The short (8.3) form of an existing path, as Windows gives it.
  virtual Status GetShortPathName(const std::string& path,
                                  std::string* short_path) = 0;
  // The long form of an existing path, each component as stored.
  virtual Status GetLongPathName(const std::string& path,
                                 std::string* long_path) = 0;

  // The entries of a folder, sorted by name without regard to case.
  virtual Status ListDirectory(const std::string& path,
                               std::vector<DirEntry>* entries) = 0;

  // The machine's drive letters, upper case, in order.
  virtual std::vector<char> Drives() = 0;

  // The process's current folder, a Windows path ("C:\\" at a root).
  virtual std::string GetCurrentDirectory() = 0;
};

// Reads a whole file into *contents.
Status ReadFileToString(FileSystem& files, const std::string& path,
                        std::string* contents);

// Writes contents to path through a temporary file in the same folder that is
// then moved over path, so that a reader sees the old or the new file whole.
Status WriteFileAtomically(FileSystem& files, const std::string& path,
                           const std::string& contents);
// The same, with the contents written by write into the temporary file as
// they are made; a failure of write fails the whole and leaves path as it was.
Status WriteFileAtomically(FileSystem& files, const std::string& path,
                           const std::function<Status(WritableFile&)>& write);

}  // namespace qv

#endif  // QV_PLATFORM_FILE_SYSTEM_H_
