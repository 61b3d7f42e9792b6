// modInstall's system parts on a sandbox machine: the target folders
// InitFolders resolves and creates, the location tokens, RunAndWait,
// and GetShortPath.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "install/modInstall.h"
#include "system/modRegistry.h"
#include "tests/test_util.h"

namespace qv {
namespace {

using sandbox::Family;
using testing::TestMachine;

TEST(InitFoldersTest, ResolvesAndCreatesTheProductFolders) {
  TestMachine m(Family::kNt);
  InitFolders();
  EXPECT_EQ(gsDirProgramFiles, "C:\\Program Files");
  EXPECT_EQ(gsDirOstrel, "C:\\Program Files\\Ostrel");
  EXPECT_EQ(gsDirQuillmark, "C:\\Program Files\\Ostrel\\Quillmark");
  EXPECT_EQ(gsDirCommon, "C:\\Program Files\\Ostrel\\Quillmark\\Common");
  EXPECT_EQ(gsDirBroker, "C:\\Program Files\\Ostrel\\Quillmark\\Broker");
  EXPECT_EQ(gsDirClient, "C:\\Program Files\\Ostrel\\Quillmark\\Client");
  EXPECT_EQ(gsDirTemp, "C:\\Program Files\\Ostrel\\Quillmark\\Temp");
  EXPECT_EQ(gsDirSystem, "C:\\Windows\\System32");
  EXPECT_EQ(gsDirWindows, "C:\\Windows");
  EXPECT_EQ(gsDirFonts, "C:\\Windows\\Fonts");
  for (const std::string* d :
       {&gsDirOstrel, &gsDirQuillmark, &gsDirCommon, &gsDirBroker, &gsDirClient, &gsDirTemp}) {
    EXPECT_TRUE(m.Exists(*d)) << *d;
  }
  // A second run finds everything in place and changes nothing.
  m.WriteFile(gsDirTemp + "\\staged.dll", "x");
  InitFolders();
  EXPECT_EQ(m.ReadFile(gsDirTemp + "\\staged.dll"), "x");
  // Another thread has folders of its own, still empty.
  std::string seen = "unset";
  std::thread([&] { seen = gsDirTemp; }).join();
  EXPECT_EQ(seen, "");
}

TEST(InitFoldersTest, NineXFamilyFolders) {
  TestMachine m(Family::k9x);
  InitFolders();
  EXPECT_EQ(gsDirSystem, "C:\\WINDOWS\\SYSTEM");
  EXPECT_EQ(gsDirFonts, "C:\\WINDOWS\\Fonts");
  EXPECT_TRUE(m.Exists(gsDirTemp));
}

TEST(InitFoldersTest, MissingProgramFilesValueRootsFoldersOnTheCurrentDrive) {
  TestMachine m;
  ASSERT_TRUE(DeleteValueHKLM("SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir"));
  InitFolders();
  EXPECT_EQ(gsDirProgramFiles, "");
  EXPECT_EQ(gsDirTemp, "\\Ostrel\\Quillmark\\Temp");
  EXPECT_TRUE(m.Exists("C:\\Ostrel\\Quillmark\\Temp"));
  EXPECT_TRUE(m.Exists("C:\\Ostrel\\Quillmark\\Broker"));
}

TEST(InitFoldersTest, FoldersThatCannotBeMadeArePassedOverSilently) {
  TestMachine m(Family::kNt, /*admin=*/false);
  InitFolders();
  EXPECT_EQ(gsDirTemp, "C:\\Program Files\\Ostrel\\Quillmark\\Temp");
  EXPECT_FALSE(m.Exists(gsDirOstrel));
}

TEST(InitFoldersTest, SystemFolderThatDoesNotFitTheBufferIsEmpty) {
  TestMachine m;
  m.machine().mutable_profile()->system_directory = "C:\\" + std::string(251, 's');
  InitFolders();
  EXPECT_EQ(gsDirSystem.size(), 254u) << "254 characters and the zero fit";
  m.machine().mutable_profile()->system_directory = "C:\\" + std::string(252, 's');
  InitFolders();
  EXPECT_EQ(gsDirSystem, "");
  EXPECT_EQ(gsDirWindows, "C:\\Windows");
}

TEST(InstallLocationTest, TokensMatchAfterUpperCasingOnly) {
  TestMachine m;
  InitFolders();
  bool font = true;
  EXPECT_EQ(ResolveInstallLocation("tempdir", &font), gsDirTemp);
  EXPECT_FALSE(font);
  EXPECT_EQ(ResolveInstallLocation("TempDir", &font), gsDirTemp);
  EXPECT_EQ(ResolveInstallLocation(" TEMPDIR", &font), "");
  EXPECT_EQ(ResolveInstallLocation("TEMPDIR ", &font), "");
  EXPECT_EQ(ResolveInstallLocation("", &font), "");
  EXPECT_EQ(ResolveInstallLocation("PROGRAMFILES", &font), "");
  struct Case {
    const char* token;
    const std::string* folder;
  } cases[] = {{"QUILLMARKDIR", &gsDirQuillmark}, {"COMMONDIR", &gsDirCommon},
               {"BROKERDIR", &gsDirBroker},       {"CLIENTDIR", &gsDirClient},
               {"OSTRELDIR", &gsDirOstrel},       {"SYSTEMDIR", &gsDirSystem},
               {"WINDOWSDIR", &gsDirWindows}};
  for (const Case& c : cases) {
    EXPECT_EQ(ResolveInstallLocation(c.token, &font), *c.folder) << c.token;
    EXPECT_FALSE(font);
  }
  EXPECT_EQ(ResolveInstallLocation("fontsdir", &font), gsDirFonts);
  EXPECT_TRUE(font);
}

TEST(ExpandPathTokensTest, ReplacesTheThreeTokensExactly) {
  TestMachine m;
  InitFolders();
  EXPECT_EQ(ExpandPathTokens("<SYSTEMDIR>\\msvbvm60.dll"), gsDirSystem + "\\msvbvm60.dll");
  EXPECT_EQ(ExpandPathTokens("<systemdir>\\msvbvm60.dll"), "<systemdir>\\msvbvm60.dll");
  EXPECT_EQ(ExpandPathTokens("<PROGRAMFILES>\\Common Files\\x.dll|<WINDOWSDIR>|<WINDOWSDIR>"),
            "C:\\Program Files\\Common Files\\x.dll|C:\\Windows|C:\\Windows");
  EXPECT_EQ(ExpandPathTokens("<COMMONDIR>\\x.dll"), "<COMMONDIR>\\x.dll");
  EXPECT_EQ(ExpandPathTokens(" <SYSTEMDIR> "), " C:\\Windows\\System32 ");
}

// ---- Processes and short paths ------------------------------------------------

std::string Script(const std::string& body) { return "#!/bin/sh\n" + body + "\n"; }

TEST(RunAndWaitTest, ReturnsTheExitCodeOrMinusOne) {
  testing::TestMachine machine;
  // The code as the program left it (which codes it leaves is
  // SandboxProcessTest's); all 32 bits set read as -1, as from a program that
  // did not start.
  for (const auto& [body, code] : std::vector<std::pair<std::string, int>>{
           {"exit 5", 5}, {"echo 4294967295 > \"$QV_EXIT_CODE_FILE\"", -1}}) {
    machine.WriteFile(R"(C:\bin\program.exe)", Script(body));
    EXPECT_EQ(RunAndWait(R"(C:\bin\program.exe)"), code) << body;
  }
  machine.WriteFile(R"(C:\bin\text.exe)", "just some text\n");
  EXPECT_EQ(RunAndWait(R"(C:\bin\missing.exe)"), -1);
  EXPECT_EQ(RunAndWait(R"(C:\bin\text.exe)"), -1);
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
  ASSERT_TRUE(machine.platform().files->GetShortPathName(too_long, &platform_answer).ok());
  ASSERT_EQ(platform_answer, too_long);

  EXPECT_EQ(GetShortPath(fits), fits);
  EXPECT_EQ(GetShortPath(too_long), "");
}

}  // namespace
}  // namespace qv
