// Win32Expander: ".cmp" archives unpacked with the system's cabinet
// decompressor (the FDI functions of cabinet.dll), files written through the
// backend's file system.
//
// An expansion is all or nothing: every entry is streamed into a temporary
// file "~qvx<pid>_<n>.tmp" in the folder it belongs to, and only when the
// whole archive was read without a fault are the temporary files put in
// place, in archive order; a file an entry replaces is moved aside first and
// returns when a later entry cannot be placed. Entry names that could reach
// outside the destination are refused, and so is an archive whose entries
// yield more than the bounds of platform/expander.h.
//
// Used from the UI thread; one Win32Expander per expansion.
//
// Text: folder and archive paths are UTF-8; entry names come from the archive
// as UTF-8 (when it says so) or in the machine's ANSI code page, and are
// turned into UTF-8.
#ifndef QV_PLATFORM_WIN32_WIN32_EXPANDER_H_
#define QV_PLATFORM_WIN32_WIN32_EXPANDER_H_

#include <cstdint>
#include <string>

#include "platform/expander.h"
#include "platform/file_system.h"

namespace qv::win32 {

class Win32Expander : public Expander {
 public:
  // *files (the backend's file system) must outlive this.
  explicit Win32Expander(FileSystem* files) : files_(files) {}

  Status SetDestination(const std::string& folder) override;
  Status SetArchive(const std::string& archive) override;
  Status SetOnlyEntry(const std::string& name) override;
  Status Expand(int32_t* files_written) override;

 private:
  FileSystem* files_;
  std::string destination_;
  std::string archive_;
  std::string only_entry_;
};

}  // namespace qv::win32

#endif  // QV_PLATFORM_WIN32_WIN32_EXPANDER_H_
