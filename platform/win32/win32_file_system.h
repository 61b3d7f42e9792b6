// Win32FileSystem: files and folders through the wide ("W") file calls of
// Windows.
//
// Results carry the Windows error code of the failed call unchanged
// (GetLastError). Files open for writing share nothing while open, so another
// opener, a delete or a move of the file fails with ERROR_SHARING_VIOLATION;
// files open for reading let others read. A delayed move is recorded by
// Windows itself (MoveFileExW with MOVEFILE_DELAY_UNTIL_REBOOT), which needs
// the right to write below HKEY_LOCAL_MACHINE.
//
// Used from the UI thread; file objects belong to the thread that opened them.
//
// Text: paths are UTF-8 and cross to the W calls as UTF-16, so no character
// is lost to the ANSI code page; names given back are UTF-8.
#ifndef QV_PLATFORM_WIN32_WIN32_FILE_SYSTEM_H_
#define QV_PLATFORM_WIN32_WIN32_FILE_SYSTEM_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace qv::win32 {

class Win32FileSystem : public FileSystem {
 public:
  Status CreateDirectory(const std::string& path) override;
  Status RemoveDirectory(const std::string& path) override;
  Status GetFileAttributes(const std::string& path, uint32_t* attributes) override;
  Status SetFileAttributes(const std::string& path, uint32_t attributes) override;
  Status DeleteFile(const std::string& path) override;
  Status MoveFile(const std::string& from, const std::string& to) override;
  Status MoveFileEx(const std::string& from, const std::string& to, uint32_t flags) override;
  Status CopyFile(const std::string& from, const std::string& to, bool fail_if_exists) override;
  Status GetFileSize(const std::string& path, uint64_t* size) override;
  Status NewWritableFile(const std::string& path, OpenMode mode,
                         std::unique_ptr<WritableFile>* result) override;
  Status NewRandomAccessFile(const std::string& path,
                             std::unique_ptr<RandomAccessFile>* result) override;
  Status GetShortPathName(const std::string& path, std::string* short_path) override;
  Status GetLongPathName(const std::string& path, std::string* long_path) override;
  Status ListDirectory(const std::string& path, std::vector<DirEntry>* entries) override;
  std::vector<char> Drives() override;
  std::string GetCurrentDirectory() override;
};

}  // namespace qv::win32

#endif  // QV_PLATFORM_WIN32_WIN32_FILE_SYSTEM_H_
