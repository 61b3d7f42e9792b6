// ProcessLauncher: starting programs by a Windows command line.
//
// The command line names the program the way CreateProcess reads it when it
// is given no application name: a quoted first token is the program; an
// unquoted one is tried at every blank, shortest first ("C:\Program Files\a
// b.exe x" tries "C:\Program", then "C:\Program Files\a", then
// "C:\Program Files\a b.exe"), ".exe" is added to a name without extension,
// and a name without folder is looked for in the current folder, then the
// system folder, then the Windows folder.
// The rest of the line is handed to the program as its arguments, split by
// the rules of the C runtime (quotes and backslashes).
//
// Used from the UI thread. A Process that is destroyed without Wait() goes on
// running on its own.
//
// Text: the command line is UTF-8. The Windows backend passes it whole to the
// wide entry point; the sandbox models an ANSI machine, so there a character its
// code page lacks becomes "?", as in paths.
#ifndef QV_PLATFORM_PROCESS_LAUNCHER_H_
#define QV_PLATFORM_PROCESS_LAUNCHER_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/status.h"

namespace qv {

// How the program's main window is shown (the values of the show styles).
enum class WindowStyle {
  kDefault = -1,       // as the program chooses (no show-window request)
  kHide = 0,
  kNormalFocus = 1,
  kMinimizedFocus = 2,
};

class Process {
 public:
  virtual ~Process() = default;
  // Blocks until the program has ended and returns its 32-bit exit code.
  virtual uint32_t Wait() = 0;
  virtual int64_t id() const = 0;
};

class ProcessLauncher {
 public:
  virtual ~ProcessLauncher() = default;
  // Starts the program; on failure stores nullptr and returns the error
  // (ERROR_FILE_NOT_FOUND when no program is found, ERROR_BAD_FORMAT when the
  // file is not something the machine can run).
  virtual Status CreateProcess(const std::string& command_line,
                               WindowStyle style,
                               std::unique_ptr<Process>* process) = 0;
};

}  // namespace qv

#endif  // QV_PLATFORM_PROCESS_LAUNCHER_H_
