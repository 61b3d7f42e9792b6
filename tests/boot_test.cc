// The next start of a sandbox machine: pending renames of both families,
// RunOnceEx entries, a restart request, and `qvinit machine boot`.
#include "platform/sandbox/boot.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/sandbox/sandbox_file_system.h"
#include "platform/sandbox/sandbox_registry.h"
#include "platform/sandbox/sandbox_restart.h"
#include "tests/test_util.h"

namespace qv {
namespace {

using sandbox::BootReport;
using sandbox::Family;
using testing::TestMachine;

constexpr const char* kRunOnceEx = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnceEx";

// Starts the machine as `qvinit machine boot` does: with a platform of its
// own, kept in *keep when asked for.
BootReport Boot(TestMachine& m, std::unique_ptr<sandbox::SandboxPlatform>* keep = nullptr) {
  std::unique_ptr<sandbox::SandboxPlatform> sp;
  BootReport report;
  EXPECT_TRUE(sandbox::SandboxPlatform::Open(m.root(), nullptr, nullptr, &sp).ok());
  if (sp) {
    EXPECT_TRUE(sandbox::BootMachine(sp.get(), &report).ok());
  }
  if (keep) *keep = std::move(sp);
  return report;
}

// Text as the platform stores it, with its terminating zero.
void SetText(Registry& registry, const std::string& key, const std::string& name,
             const std::string& data) {
  testing::PutRegValue(registry, kHkeyLocalMachine, key, name, kRegSz, data + '\0');
}

TEST(LineSpoolTest, KeepsEveryTextInOrderAcrossMemoryAndItsFile) {
  for (size_t limit : {size_t{1}, size_t{100}, size_t{1} << 20}) {
    sandbox::LineSpool spool(limit);
    std::vector<std::string> texts;
    for (int i = 0; i < 500; ++i) {
      texts.push_back(i % 50 == 0 ? std::string() : std::string(i % 7, '\n') + std::to_string(i));
      spool.push_back(texts.back());
      if (i == 250) {
        EXPECT_EQ(spool.lines().size(), 251u);  // read back midway, then added to
      }
    }
    EXPECT_EQ(spool.size(), texts.size());
    EXPECT_EQ(spool.lines(), texts) << limit;
  }
}

TEST(BootTest, NtPendingRenamesRunInOrderRegardlessOfFilesInUseThenAreCleared) {
  TestMachine m(Family::kNt);
  FileSystem& files = *m.platform().files;
  m.WriteFile("C:\\App\\a.dll", "A1");
  m.WriteFile("C:\\Stage\\a.new", "A2");
  m.WriteFile("C:\\App\\b.dll", "B1");
  m.WriteFile("C:\\Stage\\b.new", "B2");
  m.WriteFile("C:\\Stage\\c.new", "C2");
  m.WriteFile("C:\\Stage\\old.tmp", "x");
  m.WriteFile("C:\\Stage\\d.new", "D");
  const uint32_t kDelay = kMoveFileDelayUntilReboot;
  const uint32_t kReplace = kMoveFileDelayUntilReboot | kMoveFileReplaceExisting;
  ASSERT_TRUE(files.MoveFileEx("C:\\Stage\\a.new", "C:\\App\\a.dll", kReplace).ok());
  ASSERT_TRUE(files.MoveFileEx("C:\\Stage\\b.new", "C:\\App\\b.dll", kDelay).ok());
  ASSERT_TRUE(files.MoveFileEx("C:\\Stage\\c.new", "C:\\App\\c.dll", kDelay).ok());
  ASSERT_TRUE(files.MoveFileEx("C:\\Stage\\old.tmp", "", kDelay).ok());
  // A chain only works when the moves are carried out in the order written.
  ASSERT_TRUE(files.MoveFileEx("C:\\Stage\\d.new", "C:\\App\\d1.dll", kDelay).ok());
  ASSERT_TRUE(files.MoveFileEx("C:\\App\\d1.dll", "C:\\App\\d2.dll", kDelay).ok());
  // Neither a file in use nor the user's rights hold up the start.
  sandbox::MachineProfile* p = m.machine().mutable_profile();
  p->files_in_use.push_back({"C:\\App\\a.dll", true});
  p->writable_folders.clear();
  p->writable_registry_roots.clear();
  ASSERT_TRUE(m.machine().SaveProfile().ok());

  std::unique_ptr<sandbox::SandboxPlatform> sp;
  const BootReport report = Boot(m, &sp);
  EXPECT_EQ(m.ReadFile("C:\\App\\a.dll"), "A2");  // replaced
  EXPECT_FALSE(m.Exists("C:\\Stage\\a.new"));
  EXPECT_EQ(m.ReadFile("C:\\App\\b.dll"), "B1");  // only when absent: kept
  EXPECT_TRUE(m.Exists("C:\\Stage\\b.new"));
  EXPECT_EQ(m.ReadFile("C:\\App\\c.dll"), "C2");  // only when absent: moved
  EXPECT_FALSE(m.Exists("C:\\Stage\\old.tmp"));   // deleted
  EXPECT_EQ(m.ReadFile("C:\\App\\d2.dll"), "D");
  EXPECT_FALSE(m.Exists("C:\\App\\d1.dll"));
  EXPECT_EQ(report.renames.size(), 5u);
  ASSERT_EQ(report.problems.size(), 1u);
  EXPECT_NE(report.problems.lines()[0].find("b.new"), std::string::npos)
      << report.problems.lines()[0];
  EXPECT_THAT(report.renames.lines(),
              ::testing::Contains(::testing::HasSubstr("delete C:\\Stage\\old.tmp")));

  // Once started, the user's limits hold again.
  EXPECT_EQ(sp->platform()->files->DeleteFile("C:\\App\\c.dll").code(), kErrorAccessDenied);
  EXPECT_EQ(m.Hklm(sandbox::kSessionManagerKey, sandbox::kPendingRenamesValue), std::nullopt);
  const BootReport again = Boot(m);
  EXPECT_TRUE(again.renames.empty() && again.problems.empty());
}

TEST(BootTest, NineXWininitRenamesByShortPathsAndKeepsTheFileAsBak) {
  TestMachine m(Family::k9x);
  FileSystem& files = *m.platform().files;
  const std::string common = "C:\\Program Files\\Ostrel\\Quillmark\\Common\\";
  const std::string temp = "C:\\Program Files\\Ostrel\\Quillmark\\Temp\\";
  m.WriteFile(common + "library file.dll", "old");
  m.WriteFile(temp + "library file.dll", "new");
  m.WriteFile(temp + "leftover file.tmp", "x");
  std::string target, source, leftover;
  ASSERT_TRUE(files.GetShortPathName(common + "library file.dll", &target).ok());
  ASSERT_TRUE(files.GetShortPathName(temp + "library file.dll", &source).ok());
  ASSERT_TRUE(files.GetShortPathName(temp + "leftover file.tmp", &leftover).ok());
  ASSERT_EQ(target.find(' '), std::string::npos) << target;
  const std::string ini = "[Other]\r\nC:\\X.DLL=C:\\Y.DLL\r\n[Rename]\r\n; a comment\r\n" + target +
                          "=" + source + "\r\nnul=" + leftover + "\r\n";
  m.WriteFile("C:\\WINDOWS\\wininit.ini", ini);
  m.WriteFile("C:\\WINDOWS\\wininit.bak", "an older one");

  const BootReport report = Boot(m);
  EXPECT_TRUE(report.problems.empty()) << report.problems.lines()[0];
  EXPECT_EQ(report.renames.size(), 2u);
  EXPECT_EQ(m.ReadFile(common + "library file.dll"), "new");  // long name kept
  EXPECT_FALSE(m.Exists(temp + "library file.dll"));
  EXPECT_FALSE(m.Exists(temp + "leftover file.tmp"));
  EXPECT_FALSE(m.Exists("C:\\WINDOWS\\wininit.ini"));
  EXPECT_EQ(m.ReadFile("C:\\WINDOWS\\wininit.bak"), ini);
}

TEST(BootTest, DamagedWininitIsTakenUpAsFarAsItCanBeRead) {
  struct Case {
    std::string contents;
    size_t renames;
    std::vector<std::string> problems;  // a part of each problem, in order
  };
  const std::vector<Case> cases = {
      {std::string("\x7f"
                   "ELF\x02\x01\0\0[\xff\xfe=\x01\n\0\0",
                   16),
       0,
       {"not a text file", "no [rename] section"}},
      {"hello\r\nworld=1\r\n", 0, {"no [rename] section"}},
      {"[ rename ]\r\nnot a rename line\r\nC:\\A.TXT=C:\\B.TXT\r\n\x01\x02=\x03\r\n=C:\\B.TXT\n",
       1,
       {"line 2", "line 4", "line 5"}},
      // A drive's root cannot be moved, not even onto itself.
      {"[rename]\r\nC:\\=C:\\\r\nC:\\A.TXT=C:\\B.TXT\r\n", 1, {"root of a drive"}},
  };
  for (const Case& c : cases) {
    TestMachine m(Family::k9x);
    m.WriteFile("C:\\B.TXT", "b");
    m.WriteFile("C:\\WINDOWS\\wininit.ini", c.contents);
    const BootReport report = Boot(m);
    EXPECT_EQ(report.renames.size(), c.renames);
    ASSERT_EQ(report.problems.size(), c.problems.size());
    for (size_t i = 0; i < c.problems.size(); ++i) {
      EXPECT_NE(report.problems.lines()[i].find(c.problems[i]), std::string::npos)
          << report.problems.lines()[i];
    }
    EXPECT_EQ(m.Exists("C:\\A.TXT"), c.renames == 1);
    EXPECT_EQ(m.ReadFile("C:\\WINDOWS\\wininit.bak"), c.contents);
  }
}

TEST(BootTest, RunOnceExEntriesAreTakenUpInOrderAndCleared) {
  TestMachine m(Family::kNt);
  Registry& registry = *m.platform().registry;
  m.WriteFile("C:\\Program Files\\my library.dll", "library");
  std::string library;
  ASSERT_TRUE(
      m.platform().files->GetShortPathName("C:\\Program Files\\my library.dll", &library).ok());
  m.WriteFile("C:\\App\\tool.exe", "#!/bin/sh\necho \"$1\" >> \"$QV_MACHINE/ran.txt\"\nexit 3\n");
  SetText(registry, kRunOnceEx, "Title", "Installing");
  SetText(registry, kRunOnceEx, "QVC:\\App\\x.dll", library + "|DllRegisterServer");
  SetText(registry, kRunOnceEx, "QVC:\\App\\gone.dll", "C:\\App\\gone.dll|DllRegisterServer");
  SetText(registry, kRunOnceEx, "b", "C:\\App\\tool.exe root");
  SetText(registry, std::string(kRunOnceEx) + "\\010", "", "Section title");
  SetText(registry, std::string(kRunOnceEx) + "\\010", "1", "||C:\\App\\tool.exe section");

  const BootReport report = Boot(m);
  // The key's own values by name, then the subkey's.
  ASSERT_EQ(report.run_once.size(), 3u);
  EXPECT_NE(report.run_once.lines()[0].find("tool.exe root (exit code 3)"), std::string::npos);
  EXPECT_NE(report.run_once.lines()[1].find(library + "|DllRegisterServer"), std::string::npos);
  EXPECT_NE(report.run_once.lines()[2].find("tool.exe section"), std::string::npos);
  EXPECT_EQ(testing::ReadHostFile(m.root() + "/ran.txt"), "root\nsection\n");
  ASSERT_EQ(report.problems.size(), 1u);
  EXPECT_NE(report.problems.lines()[0].find("gone.dll does not exist"), std::string::npos);
  // The call is recorded under the library's long path.
  EXPECT_EQ(m.Hklm("SOFTWARE\\Quillmark Sandbox\\Registered Components",
                   "C:\\Program Files\\my library.dll"),
            std::string("DllRegisterServer\0", 18));

  std::vector<sandbox::SandboxRegistry::Value> values;
  std::vector<std::string> subkeys;
  ASSERT_EQ(m.registry().EnumKey(kHkeyLocalMachine, kRunOnceEx, &values, &subkeys), 0u);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].name, "Title");
  EXPECT_TRUE(subkeys.empty());
}

TEST(BootTest, RenamesComeBeforeRunOnceExOnBothFamilies) {
  // The program that the RunOnceEx entry starts arrives by a pending
  // rename: it runs only if the renames were carried out first.
  for (Family family : {Family::kNt, Family::k9x}) {
    SCOPED_TRACE(family == Family::kNt ? "nt" : "9x");
    TestMachine m(family);
    m.WriteFile("C:\\App\\readme.txt", "");
    m.WriteFile("C:\\Stage\\tool.new", "#!/bin/sh\necho ran >> \"$QV_MACHINE/ran.txt\"\n");
    if (family == Family::kNt) {
      ASSERT_TRUE(
          m.platform()
              .files
              ->MoveFileEx("C:\\Stage\\tool.new", "C:\\App\\tool.exe", kMoveFileDelayUntilReboot)
              .ok());
    } else {
      m.WriteFile("C:\\WINDOWS\\wininit.ini",
                  "[rename]\r\nC:\\App\\tool.exe=C:\\Stage\\tool.new\r\n");
    }
    SetText(*m.platform().registry, std::string(kRunOnceEx) + "\\001", "1", "||C:\\App\\tool.exe");

    const BootReport report = Boot(m);
    EXPECT_EQ(report.renames.size(), 1u);
    EXPECT_TRUE(report.problems.empty()) << report.problems.lines()[0];
    EXPECT_EQ(testing::ReadHostFile(m.root() + "/ran.txt"), "ran\n");
  }
}

TEST(BootTest, RestartRequestIsTakenUpOnce) {
  TestMachine m(Family::k9x);
  ASSERT_TRUE(m.platform().restart->ExitWindowsEx(kEwxReboot, 0));
  const std::string request = m.root() + "/" + sandbox::kRestartRequestFile;
  ASSERT_TRUE(testing::HostExists(request));
  EXPECT_TRUE(Boot(m).restart_requested);
  EXPECT_FALSE(testing::HostExists(request));
  EXPECT_FALSE(Boot(m).restart_requested);
}

TEST(BootTest, QvinitMachineBootPrintsWhatItDid) {
  TestMachine m;
  m.WriteFile("C:\\new.dll", "new");
  FileSystem& files = *m.platform().files;
  ASSERT_TRUE(
      files.MoveFileEx("C:\\new.dll", "C:\\Windows\\x.dll", kMoveFileDelayUntilReboot).ok());
  ASSERT_TRUE(
      files.MoveFileEx("C:\\missing.dll", "C:\\Windows\\y.dll", kMoveFileDelayUntilReboot).ok());
  const auto boot = [&] {
    return testing::RunCommand({testing::QvinitPath(), "machine", "boot", m.root()});
  };
  testing::CommandResult r = boot();
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("rename:    C:\\new.dll -> C:\\Windows\\x.dll"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("problem:   cannot move C:\\missing.dll"), std::string::npos) << r.out;
  EXPECT_EQ(testing::ReadHostFile(m.root() + "/drive_c/Windows/x.dll"), "new");
  r = boot();
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("nothing was pending"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace qv
