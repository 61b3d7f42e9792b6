// SandboxProcessLauncher: program lookup on the machine, posix_spawn, and the
// exit-code file.
#include "platform/sandbox/sandbox_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include <nlohmann/json.hpp>

#include "platform/posix/errno_status.h"
#include "platform/posix/unique_fd.h"
#include "platform/sandbox/windows_command_line.h"

extern char** environ;

namespace qv::sandbox {
namespace {

constexpr char kExitCodeVariable[] = "QV_EXIT_CODE_FILE";
constexpr char kMachineVariable[] = "QV_MACHINE";

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Whether name names a folder of its own (a drive, a separator).
bool HasFolder(const std::string& name) {
  return name.find_first_of("\\/:") != std::string::npos;
}

// Whether the last component of name has an extension.
bool HasExtension(const std::string& name) {
  const size_t start = name.find_last_of("\\/:");
  const size_t dot = name.find('.', start == std::string::npos ? 0 : start + 1);
  return dot != std::string::npos;
}

std::string JoinWindowsPath(const std::string& folder, const std::string& name) {
  if (folder.empty() || IsSeparator(folder.back())) return folder + name;
  return folder + "\\" + name;
}

// The number a program left in its exit-code file: decimal, 32 bits, blanks
// and line ends around it allowed. A negative number stands for the same
// 32 bits ("-1" is 4294967295).
std::optional<uint32_t> ReadExitCodeFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char buffer[64];
  ssize_t got;
  do {
    got = read(fd, buffer, sizeof(buffer));
  } while (got < 0 && errno == EINTR);
  close(fd);
  if (got <= 0 || static_cast<size_t>(got) >= sizeof(buffer)) {
    return std::nullopt;
  }
  std::string text(buffer, static_cast<size_t>(got));
  const char* kSpace = " \t\r\n";
  const size_t first = text.find_first_not_of(kSpace);
  if (first == std::string::npos) return std::nullopt;
  text = text.substr(first, text.find_last_not_of(kSpace) - first + 1);

  bool negative = false;
  size_t i = 0;
  if (text[0] == '-') {
    negative = true;
    i = 1;
  }
  if (i >= text.size() || text.size() - i > 10) return std::nullopt;
  uint64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  if (negative) {
    if (value > 0x80000000u) return std::nullopt;
    return static_cast<uint32_t>(0x100000000ull - value);
  }
  if (value > 0xFFFFFFFFu) return std::nullopt;
  return static_cast<uint32_t>(value);
}

// Waits for pid, retrying after signals. Returns false when the status
// cannot be learned (the child was reaped elsewhere).
bool WaitForChild(pid_t pid, int* status) {
  while (true) {
    if (waitpid(pid, status, 0) == pid) return true;
    if (errno != EINTR) return false;
  }
}

class SandboxProcess : public Process {
 public:
  SandboxProcess(pid_t pid, std::string exit_code_file)
      : pid_(pid), exit_code_file_(std::move(exit_code_file)) {}

  ~SandboxProcess() override {
    if (waited_) return;
    // The program goes on running; someone must still reap it and remove its
    // exit-code file once it ends.
    const pid_t pid = pid_;
    std::string file = exit_code_file_;
    try {
      std::thread([pid, file = std::move(file)] {
        int status = 0;
        WaitForChild(pid, &status);
        unlink(file.c_str());
      }).detach();
    } catch (const std::system_error&) {
      // No thread to spare: the file stays behind and the child is reaped
      // with this process.
    }
  }

  uint32_t Wait() override {
    if (waited_) return exit_code_;
    int status = 0;
    const bool known = WaitForChild(pid_, &status);
    waited_ = true;
    if (std::optional<uint32_t> code = ReadExitCodeFile(exit_code_file_)) {
      exit_code_ = *code;
    } else if (!known) {
      exit_code_ = 0xFFFFFFFFu;
    } else if (WIFEXITED(status)) {
      exit_code_ = static_cast<uint32_t>(WEXITSTATUS(status));
    } else if (WIFSIGNALED(status)) {
      // As a shell reports it.
      exit_code_ = 128u + static_cast<uint32_t>(WTERMSIG(status));
    } else {
      exit_code_ = 0xFFFFFFFFu;
    }
    unlink(exit_code_file_.c_str());
    return exit_code_;
  }

  int64_t id() const override { return pid_; }

 private:
  pid_t pid_;
  std::string exit_code_file_;
  bool waited_ = false;
  uint32_t exit_code_ = 0;
};

// A program that was recorded instead of run: it ends at once with the exit
// code the machine's profile gives it.
class RecordedProcess : public Process {
 public:
  explicit RecordedProcess(uint32_t exit_code) : exit_code_(exit_code) {}
  uint32_t Wait() override { return exit_code_; }
  int64_t id() const override { return 0; }

 private:
  uint32_t exit_code_;
};

// Appends one line to the machine's record of programs not run. One write
// of one line, so that processes sharing the machine do not mix their lines.
void AppendToProgramsLog(const std::string& log_path, const LaunchRecord& record) {
  const nlohmann::json line = {{"command_line", record.command_line},
                               {"program", record.program},
                               {"exit_code", record.exit_code},
                               {"run", false}};
  const std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  UniqueFd fd(open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (fd.get() >= 0) WriteAll(fd.get(), text.data(), text.size());
}

// What the first bytes of a host file say about running it.
enum class Runnable { kYes, kNo, kUnreadable };

Runnable ClassifyHostFile(const std::string& host_path, int* error_number) {
  const int fd = open(host_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error_number = errno;
    return Runnable::kUnreadable;
  }
  unsigned char magic[4] = {};
  ssize_t got;
  do {
    got = read(fd, magic, sizeof(magic));
  } while (got < 0 && errno == EINTR);
  close(fd);
  if (got >= 2 && magic[0] == '#' && magic[1] == '!') return Runnable::kYes;
  if (got == 4 && magic[0] == 0x7F && magic[1] == 'E' && magic[2] == 'L' &&
      magic[3] == 'F') {
    return Runnable::kYes;
  }
  return Runnable::kNo;
}

// Adds execute permission wherever read permission is given.
void MakeExecutable(const std::string& host_path) {
  struct stat st;
  if (stat(host_path.c_str(), &st) != 0) return;
  mode_t mode = st.st_mode & 07777;
  mode_t wanted = mode | S_IXUSR;
  if (mode & S_IRGRP) wanted |= S_IXGRP;
  if (mode & S_IROTH) wanted |= S_IXOTH;
  if (wanted != mode) chmod(host_path.c_str(), wanted);
}

// A fresh empty file for the program's exit code.
Status MakeExitCodeFile(std::string* path) {
  const char* temp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(temp != nullptr && *temp != '\0' ? temp : "/tmp") +
      "/qv-exit-XXXXXX";
  const int fd = mkstemp(pattern.data());
  if (fd < 0) return PosixError("cannot make exit-code file", errno);
  close(fd);
  *path = pattern;
  return Status::OK();
}

// Owns the posix_spawn attribute objects for one start.
class SpawnSetup {
 public:
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions_);
    posix_spawnattr_init(&attributes_);
  }
  ~SpawnSetup() {
    posix_spawnattr_destroy(&attributes_);
    posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  // The program starts as a fresh one: in its working folder, with only the
  // standard descriptors, no blocked signals and default signal handling.
  int Prepare(const std::string& working_folder) {
    int error =
        posix_spawn_file_actions_addchdir_np(&actions_, working_folder.c_str());
    if (error == 0) error = posix_spawn_file_actions_addclosefrom_np(&actions_, 3);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    if (error == 0) error = posix_spawnattr_setsigmask(&attributes_, &none);
    if (error == 0) error = posix_spawnattr_setsigdefault(&attributes_, &all);
    if (error == 0) {
      error = posix_spawnattr_setflags(
          &attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    return error;
  }

  const posix_spawn_file_actions_t* actions() const { return &actions_; }
  const posix_spawnattr_t* attributes() const { return &attributes_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
};

std::vector<char*> PointersTo(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

SandboxProcessLauncher::SandboxProcessLauncher(Machine* machine,
                                               FileSystem* files)
    : machine_(machine), files_(files) {}

bool SandboxProcessLauncher::IsFile(const std::string& windows_path,
                                    std::string* host_path) {
  HostLocation location;
  if (!machine_->Locate(windows_path, &location).ok() || !location.exists) {
    return false;
  }
  uint32_t attributes = 0;
  if (!files_->GetFileAttributes(windows_path, &attributes).ok() ||
      (attributes & kFileAttributeDirectory) != 0) {
    return false;
  }
  *host_path = location.host_path;
  return true;
}

bool SandboxProcessLauncher::FindProgram(const std::string& name,
                                         std::string* windows_path,
                                         std::string* host_path) {
  const std::string file = HasExtension(name) ? name : name + ".exe";
  if (HasFolder(file)) {
    *windows_path = file;
    return IsFile(file, host_path);
  }
  const MachineProfile& profile = machine_->profile();
  for (const std::string* folder :
       {&profile.current_directory, &profile.system_directory,
        &profile.windows_directory}) {
    *windows_path = JoinWindowsPath(*folder, file);
    if (IsFile(*windows_path, host_path)) return true;
  }
  return false;
}

uint32_t SandboxProcessLauncher::ProfileExitCode(const std::string& windows_path) const {
  WinPath program;
  if (!machine_->ParsePath(windows_path, &program).ok()) return 0;
  const std::string full = FoldCase(program.ToString());
  const std::string name = program.components.empty() ? "" : FoldCase(program.components.back());
  uint32_t by_name = 0;
  for (const auto& [listed, code] : machine_->profile().program_exit_codes) {
    const bool is_path = listed.find_first_of("\\/:") != std::string::npos;
    if (is_path) {
      WinPath listed_path;
      if (machine_->ParsePath(listed, &listed_path).ok() &&
          FoldCase(listed_path.ToString()) == full) {
        return code;  // a path is more particular than a name
      }
    } else if (FoldCase(listed) == name) {
      by_name = code;
    }
  }
  return by_name;
}

std::string SandboxProcessLauncher::WorkingFolder() {
  HostLocation location;
  if (machine_->Locate(machine_->profile().current_directory, &location)
          .ok() &&
      location.exists) {
    return location.host_path;
  }
  return machine_->DriveFolder(machine_->profile().current_drive);
}

Status SandboxProcessLauncher::CreateProcess(
    const std::string& command_line, WindowStyle style,
    std::unique_ptr<Process>* process) {
  process->reset();

  // The first candidate that names an existing file is the program, whether
  // or not it can be run.
  LaunchRecord record;
  std::string arguments;
  bool found = false;
  for (const ProgramCandidate& candidate : ProgramCandidates(command_line)) {
    if (FindProgram(candidate.program, &record.program, &record.host_program)) {
      arguments = candidate.arguments;
      found = true;
      break;
    }
  }
  if (!found) {
    return Status::NotFound("no program found for command line: " +
                            command_line);
  }
  if (!machine_->profile().run_programs) {
    // The host runs nothing the machine was asked to run: the start is
    // recorded and the program "ends" with the profile's exit code.
    record.command_line = command_line;
    record.style = style;
    record.ran = false;
    record.argv.push_back(record.host_program);
    for (std::string& argument : SplitWindowsArguments(arguments)) {
      record.argv.push_back(std::move(argument));
    }
    record.exit_code = ProfileExitCode(record.program);
    AppendToProgramsLog(machine_->programs_log_path(), record);
    *process = std::make_unique<RecordedProcess>(record.exit_code);
    launches_.push_back(std::move(record));
    return Status::OK();
  }
  int read_error = 0;
  switch (ClassifyHostFile(record.host_program, &read_error)) {
    case Runnable::kYes:
      break;
    case Runnable::kNo:
      return Status::Error(kErrorBadFormat,
                           "not a program this machine can run: " +
                               record.program);
    case Runnable::kUnreadable:
      return PosixError("cannot read program " + record.program, read_error);
  }
  MakeExecutable(record.host_program);

  record.argv.push_back(record.host_program);
  for (std::string& argument : SplitWindowsArguments(arguments)) {
    record.argv.push_back(std::move(argument));
  }

  Status s = MakeExitCodeFile(&record.exit_code_file);
  if (!s.ok()) return s;

  const std::string exit_prefix = std::string(kExitCodeVariable) + "=";
  const std::string machine_prefix = std::string(kMachineVariable) + "=";
  std::vector<std::string> environment;
  for (char** entry = environ; entry != nullptr && *entry != nullptr;
       ++entry) {
    const std::string_view text(*entry);
    if (text.starts_with(exit_prefix) || text.starts_with(machine_prefix)) {
      continue;
    }
    environment.emplace_back(text);
  }
  environment.push_back(exit_prefix + record.exit_code_file);
  environment.push_back(machine_prefix + machine_->root());

  std::vector<std::string> argv = record.argv;
  std::vector<char*> argv_pointers = PointersTo(argv);
  std::vector<char*> environment_pointers = PointersTo(environment);

  SpawnSetup setup;
  int error = setup.Prepare(WorkingFolder());
  pid_t pid = 0;
  if (error == 0) {
    error = posix_spawn(&pid, record.host_program.c_str(), setup.actions(),
                        setup.attributes(), argv_pointers.data(),
                        environment_pointers.data());
  }
  if (error != 0) {
    unlink(record.exit_code_file.c_str());
    return PosixError("cannot start " + record.program, error);
  }

  record.command_line = command_line;
  record.style = style;
  record.pid = pid;
  *process = std::make_unique<SandboxProcess>(pid, record.exit_code_file);
  launches_.push_back(std::move(record));
  return Status::OK();
}

}  // namespace qv::sandbox
