// SandboxProcessLauncher: starts the programs of a sandbox machine.
//
// A Windows command line names a program by a Windows path of the machine.
// The candidates of the line (see ProgramCandidates) are tried in order:
// ".exe" is added to a name without extension, a name without folder is
// looked for in the current folder, the system folder and the Windows folder,
// and the first candidate that exists as a file decides. The host file it
// maps to is run when it is something the host can run: a script starting
// with "#!" or an ELF binary (it is made executable first, since Windows
// runs files regardless of mode bits). Any other file, a real Windows image
// or a text file among them, gives ERROR_BAD_FORMAT; no candidate at all
// gives ERROR_FILE_NOT_FOUND.
//
// The program gets the rest of the command line split by the C runtime's
// rules as its arguments (paths as written, Windows paths included), the
// host folder of the machine's current folder as its working folder, and
// this process's environment plus
//   QV_EXIT_CODE_FILE  a fresh empty file; a program may write its 32-bit
//                      exit code there in decimal ("3010"), since a host
//                      exit status holds only 8 bits;
//   QV_MACHINE         the machine root, so that a program that knows the
//                      sandbox can act on the machine.
// No other open descriptors than the standard three are handed on.
//
// Process::Wait() gives the number in QV_EXIT_CODE_FILE when the file holds
// one, else the exit status; a program ended by signal s gives 128 + s. The
// file is removed once the program has been waited for. A Process destroyed
// without Wait() leaves the program running; a detached background thread
// then waits for it (so that no zombie remains) and removes the file.
//
// Unless the machine's profile lets programs run ("programs": {"run": true}),
// nothing is run on the host: a start that finds its program is recorded
// (launches(), and one JSON line in ROOT/programs.jsonl) and its Process
// ends at once with the exit code the profile lists for the program (0
// unless listed). The program file is not looked at then: whatever the
// command line names counts as started.
//
// The launcher is used from one thread; Process objects may be waited for on
// any one thread.
#ifndef QV_PLATFORM_SANDBOX_SANDBOX_PROCESS_H_
#define QV_PLATFORM_SANDBOX_SANDBOX_PROCESS_H_

#include <memory>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/process_launcher.h"
#include "platform/sandbox/machine.h"

namespace qv::sandbox {

// What one successful start looked like.
struct LaunchRecord {
  std::string command_line;
  WindowStyle style = WindowStyle::kDefault;
  std::string program;            // the Windows path that was found
  std::string host_program;       // the host file that was run
  std::vector<std::string> argv;  // argv[0] is host_program
  std::string exit_code_file;     // the host path given as QV_EXIT_CODE_FILE
  int64_t pid = 0;
  // false when the machine's profile does not let programs run: the start
  // was recorded, and exit_code is the profile's answer.
  bool ran = true;
  uint32_t exit_code = 0;
};

class SandboxProcessLauncher : public ProcessLauncher {
 public:
  // machine and files must outlive the launcher. files is the machine's file
  // system; it decides whether a name is a file or a folder.
  SandboxProcessLauncher(Machine* machine, FileSystem* files);

  Status CreateProcess(const std::string& command_line, WindowStyle style,
                       std::unique_ptr<Process>* process) override;

  // Every successful start, oldest first.
  const std::vector<LaunchRecord>& launches() const { return launches_; }

 private:
  // Finds the program file of one candidate name; false when there is none.
  bool FindProgram(const std::string& name, std::string* windows_path,
                   std::string* host_path);
  bool IsFile(const std::string& windows_path, std::string* host_path);
  std::string WorkingFolder();
  // The exit code the profile gives a program that is not run.
  uint32_t ProfileExitCode(const std::string& windows_path) const;

  Machine* machine_;
  FileSystem* files_;
  std::vector<LaunchRecord> launches_;
};

}  // namespace qv::sandbox

#endif  // QV_PLATFORM_SANDBOX_SANDBOX_PROCESS_H_
