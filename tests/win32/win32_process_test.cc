// Programs started by their command line and waited for; the test program
// starts itself with "--exit-code N".
#include "platform/win32/win32_process.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/win32/win32_test_support.h"

namespace qv::win32 {
namespace {

TEST(Win32ProcessLauncherTest, StartsAndWaitsOrSaysWhy) {
  ScratchFolder folder;
  folder.Write("text.exe", "not a program at all, just some text of some length");
  const std::string self = "\"" + ProgramPath() + "\"";
  struct Case {
    std::string command_line;
    WindowStyle style;
    uint32_t start_error;  // 0: starts
    uint32_t exit_code;
  } cases[] = {
      {self + " --exit-code 7", WindowStyle::kDefault, 0, 7},
      {self + " --exit-code 0", WindowStyle::kHide, 0, 0},
      {self + " --exit-code 300", WindowStyle::kNormalFocus, 0, 300},
      {"cmd.exe /c exit 3", WindowStyle::kHide, 0, 3},  // found in the system folder
      {"cmd /c exit 4", WindowStyle::kHide, 0, 4},      // ".exe" added
      {"\"" + (folder / "missing.exe") + "\"", WindowStyle::kDefault, kErrorFileNotFound, 0},
      {"\"" + (folder / "text.exe") + "\"", WindowStyle::kDefault, kErrorBadFormat, 0},
  };
  Win32ProcessLauncher launcher;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command_line);
    std::unique_ptr<Process> process;
    const Status started = launcher.CreateProcess(c.command_line, c.style, &process);
    EXPECT_EQ(started.code(), c.start_error) << started.ToString();
    if (!started.ok()) {
      EXPECT_EQ(process, nullptr);
      continue;
    }
    ASSERT_NE(process, nullptr);
    EXPECT_GT(process->id(), 0);
    EXPECT_EQ(process->Wait(), c.exit_code);
  }
}

}  // namespace
}  // namespace qv::win32
