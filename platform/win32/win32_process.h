// Win32ProcessLauncher: starts programs with CreateProcessW, the command line
// exactly as given (Windows finds the program in it by its own rules), and
// waits for them with WaitForSingleObject and GetExitCodeProcess.
//
// A file that is no program for this machine gives ERROR_BAD_FORMAT, as the
// seam states, whatever variant of the code Windows chose.
//
// Text: the command line is UTF-8 and crosses to CreateProcessW as UTF-16.
#ifndef QV_PLATFORM_WIN32_WIN32_PROCESS_H_
#define QV_PLATFORM_WIN32_WIN32_PROCESS_H_

#include <memory>
#include <string>

#include "platform/process_launcher.h"

namespace qv::win32 {

class Win32ProcessLauncher : public ProcessLauncher {
 public:
  Status CreateProcess(const std::string& command_line, WindowStyle style,
                       std::unique_ptr<Process>* process) override;
};

}  // namespace qv::win32

#endif  // QV_PLATFORM_WIN32_WIN32_PROCESS_H_
