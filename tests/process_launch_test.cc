// The process and system wrappers of modInstall, on a sandbox machine:
// RunAndWait, IsWindowsNT and GetShortPath.
#include <algorithm>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "install/modInstall.h"
#include "tests/test_util.h"

namespace qv {
namespace {

using ::testing::HasSubstr;

std::string Script(const std::string& body) { return "#!/bin/sh\n" + body + "\n"; }

TEST(RunAndWaitTest, ReturnsTheExitCodeOrMinusOne) {
  testing::TestMachine machine;
  machine.WriteFile(R"(C:\bin\ok.exe)", Script("exit 0"));
  machine.WriteFile(R"(C:\bin\five.exe)", Script("exit 5"));
  machine.WriteFile(R"(C:\bin\reboot.exe)",
                    Script("echo 3010 > \"$QV_EXIT_CODE_FILE\""));
  machine.WriteFile(R"(C:\bin\allbits.exe)",
                    Script("echo 4294967295 > \"$QV_EXIT_CODE_FILE\""));
  machine.WriteFile(R"(C:\bin\text.exe)", "just some text\n");

  EXPECT_EQ(RunAndWait(R"(C:\bin\ok.exe)"), 0);
  EXPECT_EQ(RunAndWait(R"(C:\bin\five.exe)"), 5);
  EXPECT_EQ(RunAndWait(R"(C:\bin\reboot.exe)"), 3010);
  // All 32 bits set reads as -1, as from a program that did not start.
  EXPECT_EQ(RunAndWait(R"(C:\bin\allbits.exe)"), -1);
  EXPECT_EQ(RunAndWait(R"(C:\bin\missing.exe)"), -1);
  EXPECT_EQ(RunAndWait(R"(C:\bin\text.exe)"), -1);
}

TEST(RunAndWaitTest, RegistrationCommandLineReachesTheProgram) {
  testing::TestMachine machine;
  // The registration helper in a folder below "Program Files", given a
  // quoted target path: it writes what it received into the machine's root
  // folder and answers with the number of arguments.
  const std::string helper =
      R"(C:\Program Files\Ostrel\Quillmark\Common\regsvr32.exe)";
  machine.WriteFile(helper,
                    Script("for a in \"$@\"; do printf '<%s>' \"$a\"; done "
                           "> received.txt\n"
                           "exit $#"));
  const std::string command =
      helper + R"( /s "C:\Program Files\Ostrel\Quillmark\Common\x y.dll")";
  EXPECT_EQ(RunAndWait(command), 2);
  EXPECT_EQ(machine.ReadFile(R"(C:\received.txt)"),
            R"(</s><C:\Program Files\Ostrel\Quillmark\Common\x y.dll>)");

  // With a program at "C:\Program.exe" the unquoted line starts that one.
  machine.WriteFile(R"(C:\Program.exe)", Script("exit 77"));
  EXPECT_EQ(RunAndWait(command), 77);
}

TEST(IsWindowsNTTest, AnswersByTheMachinesFamily) {
  {
    testing::TestMachine nt(sandbox::Family::kNt);
    EXPECT_TRUE(IsWindowsNT());
  }
  {
    testing::TestMachine nine_x(sandbox::Family::k9x);
    EXPECT_FALSE(IsWindowsNT());
  }
}

TEST(GetShortPathTest, GivesTheShortFormOfExistingPaths) {
  testing::TestMachine machine;
  machine.WriteFile(R"(C:\Program Files\x.dll)", "x");
  const std::string short_path = GetShortPath(R"(C:\Program Files\x.dll)");
  EXPECT_THAT(short_path, HasSubstr("PROGRA~1"));
  EXPECT_EQ(short_path.find(' '), std::string::npos);
  // It names the same file.
  EXPECT_EQ(machine.HostPath(short_path),
            machine.HostPath(R"(C:\Program Files\x.dll)"));

  // Nothing long in it: unchanged.
  machine.WriteFile(R"(C:\DATA\FILE.TXT)", "x");
  EXPECT_EQ(GetShortPath(R"(C:\DATA\FILE.TXT)"), R"(C:\DATA\FILE.TXT)");

  EXPECT_EQ(GetShortPath(R"(C:\Program Files\missing.dll)"), "");
  EXPECT_EQ(GetShortPath(R"(C:\No Such Folder\x.dll)"), "");
}

// A path of exactly length characters made of valid short names only, so
// that its short form is the path itself.
std::string ShortOnlyPathOfLength(size_t length, char letter) {
  std::string path = "C:";
  size_t remaining = length - path.size();
  while (remaining > 0) {
    size_t take = std::min<size_t>(9, remaining);  // "\" and up to 8 letters
    if (remaining - take == 1) take = 8;
    path += "\\" + std::string(take - 1, letter);
    remaining -= take;
  }
  return path;
}

TEST(GetShortPathTest, ShortFormMustFitTheBuffer) {
  testing::TestMachine machine;
  const std::string fits = ShortOnlyPathOfLength(254, 'D');
  const std::string too_long = ShortOnlyPathOfLength(255, 'E');
  ASSERT_EQ(fits.size(), 254u);
  ASSERT_EQ(too_long.size(), 255u);
  machine.WriteFile(fits, "x");
  machine.WriteFile(too_long, "x");

  std::string platform_answer;
  ASSERT_TRUE(machine.platform()
                  .files->GetShortPathName(too_long, &platform_answer)
                  .ok());
  ASSERT_EQ(platform_answer, too_long);

  EXPECT_EQ(GetShortPath(fits), fits);
  EXPECT_EQ(GetShortPath(too_long), "");
}

}  // namespace
}  // namespace qv
