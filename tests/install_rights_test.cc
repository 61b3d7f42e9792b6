// The install-rights probe on sandbox machines: its answer for users with
// various rights, the order of its registry changes, and that it leaves the
// registry and drive C as it found them (also when it fails part-way, and
// whatever an earlier probe left behind).
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>

#include "platform/sandbox/reg_tool.h"
#include "platform/sandbox/sandbox_registry.h"
#include "system/modRegistry.h"
#include "tests/recording_registry.h"
#include "tests/test_util.h"

namespace qv {
namespace {

using testing::TestMachine;

constexpr char kCurrentVersion[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
constexpr char kTestFolder[] = "C:\\Program Files\\QVTest";
constexpr char kTestFile[] = "C:\\Program Files\\QVTest\\QVTest.dat";
constexpr char kSystemTestFile[] = "C:\\Windows\\System32\\QVTest.dat";

const char* const kTestKeys[] = {
    "HKCR\\QVTest",
    "HKCR\\CLSID\\QVTest",
    "HKCR\\TypeLib\\QVTest",
    "HKCR\\Interface\\QVTest",
    "HKLM\\SOFTWARE\\Classes\\QVTest",
    "HKLM\\SOFTWARE\\Classes\\CLSID\\QVTest",
    "HKLM\\SOFTWARE\\Classes\\TypeLib\\QVTest",
    "HKLM\\SOFTWARE\\Classes\\Interface\\QVTest",
    "HKLM\\SOFTWARE\\QVTest",
};

// Everything a probe could leave behind: the whole registry and every folder
// and file of drive C with its contents.
struct Snapshot {
  std::string registry;
  std::map<std::string, std::string> disk;
};

Snapshot Take(TestMachine& m) {
  Snapshot s;
  EXPECT_TRUE(
      sandbox::RegExport(m.registry(), m.machine().codec(), std::nullopt, &s.registry).ok());
  s.disk = testing::HostTree(m.HostPath("C:\\"), /*folders=*/true);
  return s;
}

void ExpectUnchanged(TestMachine& m, const Snapshot& before) {
  const Snapshot after = Take(m);
  EXPECT_EQ(after.registry, before.registry);
  EXPECT_EQ(after.disk, before.disk);
  EXPECT_EQ(m.registry().OpenHandleCount(), 0u);
}

void EditProfile(TestMachine& m, const std::function<void(sandbox::MachineProfile*)>& edit) {
  edit(m.machine().mutable_profile());
  ASSERT_TRUE(m.machine().SaveProfile().ok());
  m.Reopen();
}

using Recorded = testing::RecordedRegistry;

TEST(InstallRightsTest, AdminTriesTheNineKeysInOrderAndLeavesNothing) {
  for (sandbox::Family family : {sandbox::Family::kNt, sandbox::Family::k9x}) {
    SCOPED_TRACE(family == sandbox::Family::kNt ? "nt" : "9x");
    TestMachine m(family);
    const Snapshot before = Take(m);
    Recorded recorded(m);
    EXPECT_TRUE(HasInstallRights());
    std::vector<std::string> expected;
    for (const std::string key : kTestKeys) {
      expected.insert(expected.end(), {"Create " + key, "Set " + key + " QVTestVal",
                                       "DeleteValue " + key + " QVTestVal", "DeleteKey " + key});
    }
    EXPECT_EQ(recorded.registry.changes, expected);
    ExpectUnchanged(m, before);
  }
}

TEST(InstallRightsTest, KeyLevelsThatTheProbeMadeGoAgain) {
  TestMachine m;
  ASSERT_EQ(m.registry().DeleteKey(kHkeyClassesRoot, "TypeLib"), 0u);
  ASSERT_EQ(m.registry().DeleteKey(kHkeyLocalMachine, "SOFTWARE\\Classes\\Interface"), 0u);
  const Snapshot before = Take(m);
  EXPECT_TRUE(HasInstallRights());
  ExpectUnchanged(m, before);
}

TEST(InstallRightsTest, MissingRightsAnswerFalseAndLeaveNothing) {
  struct Case {
    const char* name;
    bool admin;
    std::function<void(sandbox::MachineProfile*)> edit;
    const char* last_change;  // where the registry part ended
  };
  const Case cases[] = {
      {"restricted user", false, [](sandbox::MachineProfile*) {}, "Create HKCR\\QVTest"},
      {"classes root only", true,
       [](sandbox::MachineProfile* p) {
         p->writable_registry_roots = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER"};
       },
       "Create HKLM\\SOFTWARE\\Classes\\QVTest"},
      {"program files protected", true,
       [](sandbox::MachineProfile* p) { p->protected_folders = {"C:\\Program Files"}; },
       "DeleteKey HKLM\\SOFTWARE\\QVTest"},
      {"test folder protected", true,
       [](sandbox::MachineProfile* p) { p->protected_folders = {kTestFolder}; },
       "DeleteKey HKLM\\SOFTWARE\\QVTest"},
      {"system folder protected", true,
       [](sandbox::MachineProfile* p) { p->protected_folders = {"C:\\Windows\\System32"}; },
       "DeleteKey HKLM\\SOFTWARE\\QVTest"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestMachine m(sandbox::Family::kNt, c.admin);
    EditProfile(m, c.edit);
    const Snapshot before = Take(m);
    Recorded recorded(m);
    EXPECT_FALSE(HasInstallRights());
    ASSERT_FALSE(recorded.registry.changes.empty());
    EXPECT_EQ(recorded.registry.changes.back(), c.last_change);
    ExpectUnchanged(m, before);
  }
}

TEST(InstallRightsTest, RefusedRegistryChangeIsUndone) {
  // On a fresh machine every test key is the probe's own; a test key that was
  // there before keeps what it held (tried on the first key only: a key that
  // the probe passed is gone).
  for (const bool key_was_there : {false, true}) {
    TestMachine m;
    if (key_was_there) {
      ASSERT_TRUE(
          sandbox::RegSet(m.registry(), m.machine().codec(), kTestKeys[0], "Other", "y").ok());
    }
    const Snapshot before = Take(m);
    // Four changes a key when nothing fails.
    for (int fail_at = 0; fail_at < (key_was_there ? 4 : 4 * 9); ++fail_at) {
      SCOPED_TRACE(std::to_string(fail_at) + (key_was_there ? " key was there" : ""));
      Recorded recorded(m);
      recorded.registry.refuse_change = fail_at;
      EXPECT_FALSE(HasInstallRights());
      const std::vector<std::string>& changes = recorded.registry.changes;
      ASSERT_GT(changes.size(), static_cast<size_t>(fail_at));
      // The probe stops: after the refusal it only removes what it made.
      for (size_t i = fail_at + 1; i < changes.size(); ++i) {
        EXPECT_EQ(changes[i].rfind("Delete", 0), 0u) << changes[i];
      }
      ExpectUnchanged(m, before);
    }
  }
}

TEST(InstallRightsTest, LeftoversOfAnEarlierProbeDoNotDecide) {
  struct Case {
    const char* name;
    std::function<void(TestMachine&)> leave;
  };
  const Case cases[] = {
      {"empty test folder",
       [](TestMachine& m) { ASSERT_TRUE(m.platform().files->CreateDirectory(kTestFolder).ok()); }},
      {"test file in the test folder", [](TestMachine& m) { m.WriteFile(kTestFile, "old"); }},
      {"test file in the system folder",
       [](TestMachine& m) { m.WriteFile(kSystemTestFile, "old"); }},
      {"test keys with values",
       [](TestMachine& m) {
         for (const char* key : kTestKeys) {
           ASSERT_TRUE(
               sandbox::RegSet(m.registry(), m.machine().codec(), key, "QVTestVal", "x").ok());
           ASSERT_TRUE(sandbox::RegSet(m.registry(), m.machine().codec(), key, "Other", "y").ok());
         }
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestMachine m;
    const Snapshot clean = Take(m);
    c.leave(m);
    EXPECT_TRUE(HasInstallRights());
    ExpectUnchanged(m, clean);
  }
}

TEST(InstallRightsTest, WithoutProgramFilesDirTheDriveRootIsUsed) {
  TestMachine m;
  ASSERT_TRUE(DeleteValueHKLM(kCurrentVersion, "ProgramFilesDir"));
  // Program Files itself is not needed then.
  EditProfile(m, [](sandbox::MachineProfile* p) { p->protected_folders = {"C:\\Program Files"}; });
  const Snapshot clean = Take(m);
  m.WriteFile("C:\\QVTest\\QVTest.dat", "old");
  EXPECT_TRUE(HasInstallRights());
  ExpectUnchanged(m, clean);
}

// What is not the probe's own is never removed; the probe answers false when
// it stands in the way.
TEST(InstallRightsTest, ForeignFilesAreLeftAlone) {
  struct Case {
    const char* name;
    std::function<void(TestMachine&)> setup;
  };
  const Case cases[] = {
      {"test folder holding another file",
       [](TestMachine& m) {
         m.WriteFile(kTestFile, "old");
         m.WriteFile(std::string(kTestFolder) + "\\notes.txt", "mine");
       }},
      {"test folder holding a folder",
       [](TestMachine& m) { m.WriteFile(std::string(kTestFolder) + "\\Sub\\a.txt", "mine"); }},
      {"a file named like the test folder", [](TestMachine& m) { m.WriteFile(kTestFolder, "x"); }},
      {"system test file held by another program",
       [](TestMachine& m) {
         m.WriteFile(kSystemTestFile, "theirs");
         EditProfile(m, [](sandbox::MachineProfile* p) {
           p->files_in_use.push_back({kSystemTestFile, false});
         });
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestMachine m;
    c.setup(m);
    const Snapshot before = Take(m);
    EXPECT_FALSE(HasInstallRights());
    ExpectUnchanged(m, before);
  }
}

}  // namespace
}  // namespace qv
