// What the Windows backend's tests share: the test program's own path, the
// child mode it runs in when started by the process tests, and a scratch
// folder that is removed with everything in it.
#ifndef QV_TESTS_WIN32_WIN32_TEST_SUPPORT_H_
#define QV_TESTS_WIN32_WIN32_TEST_SUPPORT_H_

#include <string>

#include "platform/win32/win32_file_system.h"

namespace qv::win32 {

// The test program's full path (UTF-8).
std::string ProgramPath();

// A new empty folder below the temporary folder; removed, contents and all,
// when the object goes away.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::string& path() const { return path_; }
  // path() joined with a name.
  std::string operator/(const std::string& name) const { return path_ + "\\" + name; }
  // Writes contents to the named file.
  void Write(const std::string& name, const std::string& contents);

 private:
  Win32FileSystem files_;
  std::string path_;
};

}  // namespace qv::win32

#endif  // QV_TESTS_WIN32_WIN32_TEST_SUPPORT_H_
