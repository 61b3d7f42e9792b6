// Windows command lines: argument splitting and the program names tried for
// a line. Starting programs on a sandbox machine: finding the program of a
// command line, what the program receives, exit codes and cleaning up after it.
#include "platform/sandbox/sandbox_process.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/process_launcher.h"
#include "platform/sandbox/windows_command_line.h"
#include "tests/test_util.h"

namespace qv::sandbox {
namespace {

using ::testing::ElementsAre;

std::string Script(const std::string& body) { return "#!/bin/sh\n" + body + "\n"; }

// ---- Reading a command line -------------------------------------------------

struct SplitCase {
  const char* text;
  std::vector<std::string> expected;
};

TEST(SplitWindowsArgumentsTest, FollowsRuntimeRules) {
  const std::vector<SplitCase> cases = {
      // Blanks and tabs separate; runs of them count once.
      {"", {}},
      {"   \t ", {}},
      {"a b\tc", {"a", "b", "c"}},
      {"  lead  and   trail  ", {"lead", "and", "trail"}},
      // Quotes group, also in the middle of an argument.
      {R"("abc" d e)", {"abc", "d", "e"}},
      {R"(d"e f"g h)", {"de fg", "h"}},
      {R"("" x)", {"", "x"}},
      {R"("a b)", {"a b"}},
      // Backslashes not before a quote are literal.
      {R"(a\\b d)", {R"(a\\b)", "d"}},
      {R"(\\server\share\ C:\dir\)", {R"(\\server\share\)", R"(C:\dir\)"}},
      // 2n+1 backslashes before a quote: n backslashes and a literal quote.
      {R"(a\"b c)", {R"(a"b)", "c"}},
      {R"(a\\\"b c d)", {R"(a\"b)", "c", "d"}},
      // 2n backslashes before a quote: n backslashes, the quote toggles.
      {R"(a\\\\"b c" d e)", {R"(a\\b c)", "d", "e"}},
      {R"("C:\dir\\" next)", {R"(C:\dir\)", "next"}},
      // "" inside a quoted part: a literal quote and the part stays open.
      {R"(a"b"" c d)", {R"(ab" c d)"}},
      {R"("say ""hi"" now" x)", {R"(say "hi" now)", "x"}},
      // Command lines the installer builds.
      {R"( /q:a /c:"dasetup.exe /q /n")", {"/q:a", "/c:dasetup.exe /q /n"}},
      {R"( /s "C:\Program Files\Ostrel\x.dll")", {"/s", R"(C:\Program Files\Ostrel\x.dll)"}},
      // Bytes past ASCII are kept as they are.
      {"\xC3\xA9t\xC3\xA9 \"na\xC3\xAFve x\"", {"\xC3\xA9t\xC3\xA9", "na\xC3\xAFve x"}},
  };
  for (const SplitCase& c : cases) {
    EXPECT_EQ(SplitWindowsArguments(c.text), c.expected) << "text: " << c.text;
  }
}

// The program and the arguments after it, for each reading of a line.
TEST(ProgramCandidatesTest, EachBlankEndsACandidateUnlessTheProgramIsQuoted) {
  using Candidates = std::vector<std::pair<std::string, std::string>>;
  const struct {
    const char* line;
    Candidates candidates;
  } cases[] = {
      // Unquoted: tried at every blank, shortest first.
      {R"(C:\Program Files\a b.exe x)",
       {{R"(C:\Program)", R"( Files\a b.exe x)"},
        {R"(C:\Program Files\a)", " b.exe x"},
        {R"(C:\Program Files\a b.exe)", " x"},
        {R"(C:\Program Files\a b.exe x)", ""}}},
      // A run of blanks and tabs ends one candidate.
      {"  a  \tb c ", {{"a", "  \tb c "}, {"a  \tb", " c "}, {"a  \tb c", " "}}},
      {"prog.exe", {{"prog.exe", ""}}},
      // Quoted: the only candidate; the arguments begin right after the
      // closing quote, and without one the rest of the line is the program.
      {R"("C:\Program Files\a b.exe" /s "x y")", {{R"(C:\Program Files\a b.exe)", R"( /s "x y")"}}},
      {R"( "C:\a.exe"x)", {{R"(C:\a.exe)", "x"}}},
      {R"("C:\Program Files\a b.exe)", {{R"(C:\Program Files\a b.exe)", ""}}},
      // No program at all.
      {"", {}},
      {" \t ", {}},
      {R"("" x.exe)", {}},
  };
  for (const auto& c : cases) {
    Candidates candidates;
    for (const auto& candidate : ProgramCandidates(c.line)) {
      candidates.emplace_back(candidate.program, candidate.arguments);
    }
    EXPECT_EQ(candidates, c.candidates) << c.line;
  }
}

// ---- Starting a program ------------------------------------------------------

class SandboxProcessTest : public ::testing::Test {
 protected:
  SandboxProcessTest() : launcher_(&machine_.machine(), machine_.platform().files) {}

  // Starts the command line; fails the test when it cannot be started.
  std::unique_ptr<Process> Start(const std::string& command_line,
                                 WindowStyle style = WindowStyle::kDefault) {
    std::unique_ptr<Process> process;
    const Status s = launcher_.CreateProcess(command_line, style, &process);
    EXPECT_TRUE(s.ok()) << command_line << ": " << s.ToString();
    EXPECT_EQ(s.ok(), process != nullptr);
    return process;
  }

  // Runs the command line to its end; kNotStarted when it cannot start.
  static constexpr uint64_t kNotStarted = 1ull << 40;
  uint64_t Run(const std::string& command_line) {
    std::unique_ptr<Process> process;
    if (!launcher_.CreateProcess(command_line, WindowStyle::kDefault, &process).ok()) {
      return kNotStarted;
    }
    return process->Wait();
  }

  uint32_t StartError(const std::string& command_line) {
    std::unique_ptr<Process> process;
    const Status s = launcher_.CreateProcess(command_line, WindowStyle::kDefault, &process);
    EXPECT_EQ(process, nullptr);
    return s.code();
  }

  testing::TestMachine machine_;
  SandboxProcessLauncher launcher_;
};

TEST_F(SandboxProcessTest, ExitCodeComesFromStatusOrExitCodeFile) {
  const struct {
    const char* body;
    uint64_t code;
  } cases[] = {
      {"exit 0", 0},
      {"exit 7", 7},
      {"echo 3010 > \"$QV_EXIT_CODE_FILE\"; exit 0", 3010},
      {"printf ' 4294967295\\r\\n' > \"$QV_EXIT_CODE_FILE\"", 4294967295u},
      {"echo -2 > \"$QV_EXIT_CODE_FILE\"", 4294967294u},
      // A file that does not hold a 32-bit number is ignored.
      {"echo 12x > \"$QV_EXIT_CODE_FILE\"; exit 5", 5},
      {"echo 4294967296 > \"$QV_EXIT_CODE_FILE\"; exit 6", 6},
      {"kill -TERM $$", 128u + SIGTERM},
  };
  for (const auto& c : cases) {
    machine_.WriteFile(R"(C:\bin\program.exe)", Script(c.body));
    EXPECT_EQ(Run(R"(C:\bin\program.exe)"), c.code) << c.body;
  }
}

TEST_F(SandboxProcessTest, ExitCodeFileIsFreshAndRemovedAfterWait) {
  machine_.WriteFile(R"(C:\bin\check.exe)", Script("[ -f \"$QV_EXIT_CODE_FILE\" ] && "
                                                   "[ ! -s \"$QV_EXIT_CODE_FILE\" ] || exit 1\n"
                                                   "echo 42 > \"$QV_EXIT_CODE_FILE\""));
  std::unique_ptr<Process> first = Start(R"(C:\bin\check.exe)");
  std::unique_ptr<Process> second = Start(R"(C:\bin\check.exe)");
  ASSERT_TRUE(first && second);
  ASSERT_EQ(launcher_.launches().size(), 2u);
  const std::string first_file = launcher_.launches()[0].exit_code_file;
  const std::string second_file = launcher_.launches()[1].exit_code_file;
  EXPECT_NE(first_file, second_file);
  EXPECT_EQ(first->Wait(), 42u);
  EXPECT_EQ(second->Wait(), 42u);
  // Asking again gives the same code.
  EXPECT_EQ(first->Wait(), 42u);
  EXPECT_FALSE(testing::HostExists(first_file));
  EXPECT_FALSE(testing::HostExists(second_file));
}

TEST_F(SandboxProcessTest, ProgramReceivesArgumentsFolderAndEnvironment) {
  // Each argument in brackets, one a line, into a file of the working folder.
  machine_.WriteFile(R"(C:\tools\echoargs.exe)",
                     Script("for a in \"$@\"; do printf '[%s]\\n' \"$a\"; done "
                            "> args.txt\n"
                            "printf '%s' \"$QV_MACHINE\" > machine.txt"));
  std::unique_ptr<Process> process =
      Start(R"(C:\tools\echoargs.exe /s "C:\Program Files\x y.dll" a\\\"b "")"
            "\t"
            R"(C:\dir\ "q""q")",
            WindowStyle::kMinimizedFocus);
  ASSERT_TRUE(process);
  EXPECT_EQ(process->Wait(), 0u);
  EXPECT_EQ(machine_.ReadFile(R"(C:\args.txt)"),
            "[/s]\n"
            "[C:\\Program Files\\x y.dll]\n"
            "[a\\\"b]\n"
            "[]\n"
            "[C:\\dir\\]\n"
            "[q\"q]\n");
  const std::string machine_root = machine_.ReadFile(R"(C:\machine.txt)");
  EXPECT_EQ(machine_root, machine_.machine().root());

  ASSERT_EQ(launcher_.launches().size(), 1u);
  const LaunchRecord& record = launcher_.launches().back();
  EXPECT_EQ(record.style, WindowStyle::kMinimizedFocus);
  EXPECT_EQ(record.program, R"(C:\tools\echoargs.exe)");
  EXPECT_EQ(record.host_program, machine_.HostPath(R"(C:\tools\echoargs.exe)"));
  EXPECT_EQ(record.pid, process->id());
  EXPECT_THAT(record.argv, ElementsAre(record.host_program, "/s", R"(C:\Program Files\x y.dll)",
                                       R"(a\"b)", "", R"(C:\dir\)", R"(q"q)"));
}

TEST_F(SandboxProcessTest, WorkingFolderIsTheMachinesCurrentFolder) {
  machine_.WriteFile(R"(C:\Work\Here\keep.txt)", "");
  machine_.machine().mutable_profile()->current_directory = R"(C:\Work\Here)";
  machine_.WriteFile(R"(C:\bin\pwd.exe)", Script("pwd -P > pwd.txt"));
  EXPECT_EQ(Run(R"(C:\bin\pwd.exe)"), 0u);
  char resolved[PATH_MAX];
  ASSERT_NE(realpath(machine_.HostPath(R"(C:\Work\Here)").c_str(), resolved), nullptr);
  EXPECT_EQ(machine_.ReadFile(R"(C:\Work\Here\pwd.txt)"), std::string(resolved) + "\n");
}

TEST_F(SandboxProcessTest, OpenDescriptorsAreNotHandedOn) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);  // without close-on-exec
  // Moved well above the descriptors the shell opens for itself (it keeps the
  // script open on a low one of its own choosing).
  const int inherited = fcntl(fds[0], F_DUPFD, 150);
  ASSERT_GE(inherited, 150);
  machine_.WriteFile(R"(C:\bin\fds.exe)", Script("[ -e /proc/$$/fd/" + std::to_string(inherited) +
                                                 " ] && exit 1; exit 0"));
  EXPECT_EQ(Run(R"(C:\bin\fds.exe)"), 0u);
  close(inherited);
  close(fds[0]);
  close(fds[1]);
}

TEST_F(SandboxProcessTest, UnquotedPathWithBlanksTakesTheFirstProgramFound) {
  const std::string intended = R"(C:\Program Files\My App\setup.exe)";
  machine_.WriteFile(intended, Script("exit 1"));
  const std::string line = intended + " /quiet";

  EXPECT_EQ(Run(line), 1u);
  EXPECT_EQ(launcher_.launches().back().program, intended);
  EXPECT_THAT(launcher_.launches().back().argv, ElementsAre(machine_.HostPath(intended), "/quiet"));

  // A program at the shorter reading wins, and gets the rest as arguments.
  machine_.WriteFile(R"(C:\Program.exe)", Script("exit 2"));
  EXPECT_EQ(Run(line), 2u);
  EXPECT_EQ(launcher_.launches().back().program, R"(C:\Program.exe)");
  EXPECT_THAT(launcher_.launches().back().argv,
              ElementsAre(machine_.HostPath(R"(C:\Program.exe)"), R"(Files\My)", R"(App\setup.exe)",
                          "/quiet"));

  // Quoting names the intended program.
  EXPECT_EQ(Run("\"" + intended + "\" /quiet"), 1u);
  // Names match without regard to case.
  EXPECT_EQ(Run(R"("c:\PROGRAM FILES\my app\SETUP.EXE")"), 1u);
}

TEST_F(SandboxProcessTest, ExtensionIsAddedToANameWithoutOne) {
  machine_.WriteFile(R"(C:\bin\tool.exe)", Script("exit 3"));
  EXPECT_EQ(Run(R"(C:\bin\tool)"), 3u);
  EXPECT_EQ(launcher_.launches().back().program, R"(C:\bin\tool.exe)");
  // A name with another extension is taken as it is.
  machine_.WriteFile(R"(C:\bin\tool.cmd.exe)", Script("exit 4"));
  EXPECT_EQ(StartError(R"(C:\bin\tool.cmd)"), kErrorFileNotFound);
}

TEST_F(SandboxProcessTest, BareNameIsSearchedInCurrentSystemAndWindowsFolders) {
  const MachineProfile& profile = machine_.machine().profile();
  machine_.WriteFile(profile.system_directory + R"(\regsvr32.exe)", Script("exit 11"));
  machine_.WriteFile(profile.windows_directory + R"(\notepad.exe)", Script("exit 12"));
  EXPECT_EQ(Run(R"(regsvr32.exe /s "C:\x.dll")"), 11u);
  EXPECT_EQ(launcher_.launches().back().program, profile.system_directory + R"(\regsvr32.exe)");
  EXPECT_EQ(Run("regsvr32 /s"), 11u);
  EXPECT_EQ(Run("notepad"), 12u);

  // The current folder comes before the system folder, which comes before
  // the Windows folder.
  machine_.WriteFile(profile.windows_directory + R"(\regsvr32.exe)", Script("exit 21"));
  EXPECT_EQ(Run("regsvr32.exe"), 11u);
  machine_.WriteFile(R"(C:\regsvr32.exe)", Script("exit 22"));
  EXPECT_EQ(Run("regsvr32.exe"), 22u);
}

TEST_F(SandboxProcessTest, FailuresToStart) {
  EXPECT_EQ(StartError(R"(C:\missing\setup.exe /s)"), kErrorFileNotFound);
  EXPECT_EQ(StartError("nosuchprogram"), kErrorFileNotFound);
  EXPECT_EQ(StartError(""), kErrorFileNotFound);
  // A folder is not a program.
  machine_.WriteFile(R"(C:\data.d\file.txt)", "x");
  EXPECT_EQ(StartError(R"(C:\data.d)"), kErrorFileNotFound);
  // Files the host cannot run.
  machine_.WriteFile(R"(C:\readme.exe)", "hello\n");
  EXPECT_EQ(StartError(R"(C:\readme.exe)"), kErrorBadFormat);
  machine_.WriteFile(R"(C:\real.exe)", std::string("MZ\x90\0\3\0\0\0", 8));
  EXPECT_EQ(StartError(R"(C:\real.exe)"), kErrorBadFormat);
  // The first existing file of an unquoted line decides, even one that
  // cannot run.
  machine_.WriteFile(R"(C:\Program Files\My App\setup.exe)", Script("exit 1"));
  machine_.WriteFile(R"(C:\Program.exe)", "not a program\n");
  EXPECT_EQ(StartError(R"(C:\Program Files\My App\setup.exe)"), kErrorBadFormat);
  // Nothing is recorded for a start that failed.
  EXPECT_TRUE(launcher_.launches().empty());
}

TEST_F(SandboxProcessTest, RunsHostBinariesAndSetsTheExecuteBit) {
  machine_.WriteFile(R"(C:\bin\true.exe)", testing::ReadHostFile("/bin/true"));
  machine_.WriteFile(R"(C:\bin\false.exe)", testing::ReadHostFile("/bin/false"));
  const std::string host = machine_.HostPath(R"(C:\bin\true.exe)");
  ASSERT_EQ(chmod(host.c_str(), 0644), 0);
  EXPECT_EQ(Run(R"(C:\bin\true.exe)"), 0u);
  EXPECT_EQ(Run(R"(C:\bin\false.exe)"), 1u);
  struct stat st;
  ASSERT_EQ(stat(host.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
}

// A process, running or waiting to be reaped, has its folder in /proc.
bool ProcessExists(int64_t pid) { return testing::HostExists("/proc/" + std::to_string(pid)); }

TEST_F(SandboxProcessTest, ProcessDroppedWithoutWaitIsReapedAndCleanedUp) {
  // Still running when its Process goes away.
  machine_.WriteFile(R"(C:\bin\quick.exe)", Script("sleep 0.2; echo 9 > \"$QV_EXIT_CODE_FILE\""));
  int64_t pid = 0;
  {
    std::unique_ptr<Process> process = Start(R"(C:\bin\quick.exe)");
    ASSERT_TRUE(process);
    pid = process->id();
  }
  const std::string exit_file = launcher_.launches().back().exit_code_file;
  // The program and the background reaper need a moment.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while ((ProcessExists(pid) || testing::HostExists(exit_file)) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_FALSE(ProcessExists(pid));
  EXPECT_FALSE(testing::HostExists(exit_file));
  // Not our child any more.
  int status = 0;
  EXPECT_EQ(waitpid(static_cast<pid_t>(pid), &status, WNOHANG), -1);
}

}  // namespace
}  // namespace qv::sandbox
