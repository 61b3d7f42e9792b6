// The sandbox machine: making and opening it, its profile, the mapping of
// Windows paths, short names, rights and files in use.
#include "platform/sandbox/machine.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/sandbox/sandbox_platform.h"
#include "tests/test_util.h"

extern char** environ;

namespace qv {
namespace {

using sandbox::Family;
using sandbox::HostLocation;
using sandbox::Machine;
using sandbox::WinPath;
using testing::TestMachine;

TEST(MachineInitTest, MakesAFreshMachineOfEitherFamily) {
  TestMachine m(Family::kNt);
  EXPECT_TRUE(m.machine().is_nt());
  for (const char* folder :
       {"C:\\Windows", "C:\\Windows\\System32", "C:\\Windows\\Fonts", "C:\\Program Files"}) {
    EXPECT_TRUE(m.Exists(folder)) << folder;
  }
  EXPECT_TRUE(testing::HostExists(m.root() + "/drive_c/Program Files"));
  EXPECT_TRUE(testing::HostExists(m.root() + "/registry.db"));

  TestMachine old(Family::k9x);
  EXPECT_FALSE(old.machine().is_nt());
  EXPECT_EQ(old.machine().profile().windows_directory, "C:\\WINDOWS");
  EXPECT_EQ(old.machine().profile().system_directory, "C:\\WINDOWS\\SYSTEM");
  EXPECT_TRUE(testing::HostExists(old.root() + "/drive_c/WINDOWS/SYSTEM"));
  EXPECT_TRUE(testing::HostExists(old.root() + "/drive_c/WINDOWS/FONTS"));
}

TEST(MachineInitTest, RefusesAFolderThatHoldsSomethingAndFillsAnEmptyOne) {
  const std::string dir = testing::MakeTempDir();
  testing::WriteHostFile(dir + "/precious.txt", "keep me");
  Status s = sandbox::InitMachine(dir, Family::kNt, true, false);
  EXPECT_FALSE(s.ok());
  EXPECT_NE(s.message().find("not empty"), std::string::npos) << s.message();
  EXPECT_EQ(testing::ReadHostFile(dir + "/precious.txt"), "keep me");
  EXPECT_FALSE(testing::HostExists(dir + "/machine.json"));
  // Emptied, the folder is filled.
  ::unlink((dir + "/precious.txt").c_str());
  EXPECT_TRUE(sandbox::InitMachine(dir, Family::kNt, true, false).ok());
  EXPECT_TRUE(testing::HostExists(dir + "/machine.json"));
  testing::RemoveTree(dir);
}

class MachineOpenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing::MakeTempDir();
    ASSERT_TRUE(sandbox::InitMachine(dir_ + "/m", Family::kNt, true, false).ok());
  }
  void TearDown() override { testing::RemoveTree(dir_); }
  Status Open() {
    std::unique_ptr<Machine> machine;
    return Machine::Open(dir_ + "/m", &machine);
  }
  std::string dir_;
};

TEST_F(MachineOpenTest, DamagedOrMissingProfileGivesAClearError) {
  const std::string profile = dir_ + "/m/machine.json";
  const std::string good = testing::ReadHostFile(profile);
  struct Case {
    std::string contents;
    std::string expect;
  } cases[] = {
      {"{ not json", "not valid JSON"},
      {"[1,2]", "not a JSON object"},
      {R"({"format":"other","version":1})", "format"},
      {R"({"format":5,"version":1})", "format"},
      {R"({"format":"qv-machine","version":99})", "newer"},
      {R"({"format":"qv-machine","version":1,"family":"vista"})", "family"},
      {R"({"format":"qv-machine","version":1,"ansi_code_page":"x"})", "ansi_code_page"},
      {R"({"format":"qv-machine","version":1,"ansi_code_page":125218446744073709551616})",
       "ansi_code_page"},
      {R"({"format":"qv-machine","version":1,"ansi_code_page":-1252})", "ansi_code_page"},
      {R"({"format":"qv-machine","version":1,"current_drive":"D"})", "current drive has no"},
      {R"({"format":"qv-machine","version":1,"user":{"writable_folders":"C:"}})", "a list"},
      {R"({"format":"qv-machine","version":1,"files_in_use":[5]})", "files_in_use"},
      {R"({"format":"qv-machine","version":1,"memory":[]})", "\"memory\" must be"},
  };
  for (const Case& c : cases) {
    testing::WriteHostFile(profile, c.contents);
    Status s = Open();
    EXPECT_FALSE(s.ok()) << c.contents;
    EXPECT_NE(s.message().find(c.expect), std::string::npos) << s.message();
  }
  ::unlink(profile.c_str());
  Status s = Open();
  EXPECT_FALSE(s.ok());
  EXPECT_NE(s.message().find("machine.json is missing"), std::string::npos);
  testing::WriteHostFile(profile, good);
  EXPECT_TRUE(Open().ok());
  // A missing drive folder is named.
  testing::RemoveTree(dir_ + "/m/drive_c");
  EXPECT_NE(Open().message().find("drive C"), std::string::npos) << Open().message();
}

TEST_F(MachineOpenTest, UnknownProfileKeysSurviveASave) {
  const std::string profile = dir_ + "/m/machine.json";
  std::string text = testing::ReadHostFile(profile);
  text.insert(text.find('{') + 1, "\"site_note\": {\"owner\": \"lab 3\"},");
  testing::WriteHostFile(profile, text);
  std::unique_ptr<Machine> machine;
  ASSERT_TRUE(Machine::Open(dir_ + "/m", &machine).ok());
  machine->mutable_profile()->user_name = "Operator";
  ASSERT_TRUE(machine->SaveProfile().ok());
  const std::string saved = testing::ReadHostFile(profile);
  EXPECT_NE(saved.find("lab 3"), std::string::npos);
  EXPECT_NE(saved.find("Operator"), std::string::npos);
  // The profile is replaced whole: nothing of the write is left beside it.
  for (const auto& entry : std::filesystem::directory_iterator(dir_ + "/m")) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name == "machine.json" || name.rfind("machine.json", 0) != 0) << name;
  }
}

TEST(WinPathTest, ParsesTheFormsWindowsAccepts) {
  TestMachine m;
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"C:\\Program Files\\x.dll", "C:\\Program Files\\x.dll"},
      {"c:/program files/x.dll", "C:\\program files\\x.dll"},
      {"\\Ostrel\\Temp", "C:\\Ostrel\\Temp"},
      {"C:\\a\\..\\..\\b", "C:\\b"},
      {"C:\\a\\.\\b\\\\c\\", "C:\\a\\b\\c"},
      {"C:\\name. . .", "C:\\name"},
      {"C:", "C:\\"},
      {"relative\\x.txt", "C:\\relative\\x.txt"},
      {"\\\\?\\C:\\x", "C:\\x"},
  };
  for (const Case& c : cases) {
    WinPath p;
    Status s = m.machine().ParsePath(c.in, &p);
    ASSERT_TRUE(s.ok()) << c.in << ": " << s.ToString();
    EXPECT_EQ(p.ToString(), c.out) << c.in;
  }
}

TEST(WinPathTest, RefusesWhatWindowsRefuses) {
  TestMachine m;
  struct Case {
    std::string in;
    uint32_t code;
  } cases[] = {
      {"C:\\a<b", kErrorInvalidName},
      {"C:\\a?", kErrorInvalidName},
      {"C:\\x\\CON", kErrorInvalidName},
      {"C:\\lpt1.txt", kErrorInvalidName},
      {"\\\\server\\share\\x", kErrorBadNetPath},
      {"Q:\\x", kErrorPathNotFound},
      {"", kErrorPathNotFound},
      {"C:\\" + std::string(300, 'a'), kErrorFilenameExcedRange},
  };
  for (const Case& c : cases) {
    WinPath p;
    Status s = m.machine().ParsePath(c.in, &p);
    EXPECT_EQ(s.code(), c.code) << c.in;
  }
}

TEST(LocateTest, MatchesExistingNamesWithoutRegardToCase) {
  TestMachine m;
  m.WriteFile("C:\\Program Files\\Ostrel\\Client\\App.EXE", "x");
  HostLocation a, b;
  ASSERT_TRUE(m.machine().Locate("c:\\PROGRAM FILES\\ostrel\\CLIENT\\app.exe", &a).ok());
  ASSERT_TRUE(m.machine().Locate("C:\\Program Files\\Ostrel\\Client\\App.EXE", &b).ok());
  EXPECT_TRUE(a.exists);
  EXPECT_EQ(a.host_path, b.host_path);
  EXPECT_EQ(a.actual_name, "App.EXE");
  HostLocation missing;
  ASSERT_TRUE(m.machine().Locate("C:\\program files\\NEW\\x", &missing).ok());
  EXPECT_FALSE(missing.exists);
  EXPECT_FALSE(missing.parent_exists);
  EXPECT_EQ(missing.host_path, m.root() + "/drive_c/Program Files/NEW/x");
}

TEST(ShortNameTest, CandidatesFollowTheWindowsPattern) {
  EXPECT_EQ(sandbox::ShortNameCandidate("Program Files", 1), "PROGRA~1");
  EXPECT_EQ(sandbox::ShortNameCandidate("Quillmark", 2), "QUILLM~2");
  EXPECT_EQ(sandbox::ShortNameCandidate("long file name.text", 1), "LONGFI~1.TEX");
  EXPECT_EQ(sandbox::ShortNameCandidate("a+b;c.dll", 1), "A_B_C~1.DLL");
  EXPECT_EQ(sandbox::ShortNameCandidate("QV_InitLocal_V3.CAB", 1), "QV_INI~1.CAB");
  const std::string hashed = sandbox::ShortNameCandidate("Program Files", 5);
  EXPECT_EQ(hashed.size(), 8u);
  EXPECT_EQ(hashed.substr(0, 2), "PR");
  EXPECT_EQ(hashed.substr(6), "~1");
  EXPECT_TRUE(sandbox::IsValidShortName("x.dll"));
  EXPECT_TRUE(sandbox::IsValidShortName("SYSTEM32"));
  EXPECT_FALSE(sandbox::IsValidShortName("Program Files"));
  EXPECT_FALSE(sandbox::IsValidShortName("a.b.c"));
  EXPECT_FALSE(sandbox::IsValidShortName("toolongname.x"));
}

TEST(ShortNameTest, GivenOutOnceAndResolvableLater) {
  TestMachine m;
  m.WriteFile("C:\\Program Files\\Ostrel\\Quillmark\\Common\\library file.dll", "x");
  FileSystem& files = *m.platform().files;
  std::string short_path;
  ASSERT_TRUE(files
                  .GetShortPathName(
                      "C:\\Program Files\\Ostrel\\Quillmark\\Common\\library file.dll", &short_path)
                  .ok());
  EXPECT_EQ(short_path, "C:\\PROGRA~1\\Ostrel\\QUILLM~1\\Common\\LIBRAR~1.DLL");

  // A name that would sort first arrives later; the names given out stay.
  m.WriteFile("C:\\Program Data\\y", "y");
  m.Reopen();
  std::string again;
  ASSERT_TRUE(m.platform()
                  .files
                  ->GetShortPathName(
                      "C:\\Program Files\\Ostrel\\Quillmark\\Common\\library file.dll", &again)
                  .ok());
  EXPECT_EQ(again, short_path);
  std::string data_short;
  ASSERT_TRUE(m.platform().files->GetShortPathName("C:\\Program Data", &data_short).ok());
  EXPECT_EQ(data_short, "C:\\PROGRA~2");

  // The short form names the same file.
  HostLocation by_short, by_long;
  ASSERT_TRUE(m.machine().Locate(short_path, &by_short).ok());
  ASSERT_TRUE(
      m.machine()
          .Locate("C:\\Program Files\\Ostrel\\Quillmark\\Common\\library file.dll", &by_long)
          .ok());
  EXPECT_TRUE(by_short.exists);
  EXPECT_EQ(by_short.host_path, by_long.host_path);
  std::string long_path;
  ASSERT_TRUE(m.platform().files->GetLongPathName(short_path, &long_path).ok());
  EXPECT_EQ(long_path, "C:\\Program Files\\Ostrel\\Quillmark\\Common\\library file.dll");
}

TEST(ShortNameTest, CrowdedFolderStillGivesDistinctResolvableNames) {
  TestMachine m;
  std::vector<std::string> shorts;
  for (int i = 0; i < 7; ++i) {
    const std::string name = "Common Library " + std::to_string(i) + ".dll";
    m.WriteFile("C:\\libs\\" + name, std::to_string(i));
    std::string s;
    ASSERT_TRUE(m.platform().files->GetShortPathName("C:\\libs\\" + name, &s).ok());
    for (const std::string& other : shorts) EXPECT_NE(s, other);
    shorts.push_back(s);
    EXPECT_EQ(m.ReadFile(s), std::to_string(i)) << s;
  }
  EXPECT_EQ(shorts[0], "C:\\libs\\COMMON~1.DLL");
  EXPECT_EQ(shorts[3], "C:\\libs\\COMMON~4.DLL");
}

TEST(ShortNameTest, ValidShortNamesStandAsTheyAre) {
  TestMachine nt(Family::kNt);
  nt.WriteFile("C:\\Windows\\System32\\x.dll", "x");
  std::string s;
  ASSERT_TRUE(nt.platform().files->GetShortPathName("C:\\Windows\\System32\\x.dll", &s).ok());
  EXPECT_EQ(s, "C:\\Windows\\System32\\x.dll");

  TestMachine old(Family::k9x);
  old.WriteFile("C:\\WINDOWS\\SYSTEM\\x.dll", "x");
  ASSERT_TRUE(old.platform().files->GetShortPathName("C:\\WINDOWS\\SYSTEM\\x.dll", &s).ok());
  EXPECT_EQ(s, "C:\\WINDOWS\\SYSTEM\\X.DLL");
}

TEST(RightsTest, RestrictedUserMayNotWriteProgramOrSystemFolders) {
  TestMachine m(Family::kNt, /*admin=*/false);
  FileSystem& files = *m.platform().files;
  EXPECT_EQ(files.CreateDirectory("C:\\Program Files\\Ostrel").code(), kErrorAccessDenied);
  EXPECT_EQ(files.CreateDirectory("C:\\Windows\\System32\\QVTest").code(), kErrorAccessDenied);
  EXPECT_TRUE(files.CreateDirectory("C:\\Temp").ok());
  std::unique_ptr<WritableFile> f;
  EXPECT_EQ(files.NewWritableFile("C:\\Windows\\x.ini", OpenMode::kAppend, &f).code(),
            kErrorAccessDenied);
  EXPECT_TRUE(files.NewWritableFile("C:\\Temp\\x.txt", OpenMode::kCreateAlways, &f).ok());
}

// Holds a lock on a host file from another process, as a running program
// holds its files.
class LockHolder {
 public:
  LockHolder(const std::string& host_path, bool exclusive) {
    std::string mode = exclusive ? "-x" : "-s";
    // -o: only flock itself holds the lock, not the command it runs.
    const char* argv[] = {"flock", "-o", mode.c_str(), host_path.c_str(), "sleep", "60", nullptr};
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnp(&pid_, "flock", nullptr, &attr, const_cast<char**>(argv), environ);
    posix_spawnattr_destroy(&attr);
  }
  ~LockHolder() {
    if (pid_ > 0) {
      ::kill(-pid_, SIGTERM);
      int status;
      ::waitpid(pid_, &status, 0);
    }
  }
  // Waits until the lock shows (the child needs a moment to take it).
  bool WaitUntilHeld(Machine& machine, const std::string& windows_path) {
    WinPath path;
    HostLocation loc;
    machine.Locate(windows_path, &loc);
    for (int i = 0; i < 500; ++i) {
      bool exclusive;
      if (machine.InUse(loc, &exclusive)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

 private:
  pid_t pid_ = -1;
};

TEST(InUseTest, ALockOfAnotherProgramBlocksChangesAndAnExclusiveOneReading) {
  for (const bool exclusive : {false, true}) {
    SCOPED_TRACE(exclusive ? "exclusive" : "shared");
    TestMachine m;
    const std::string path = "C:\\Program Files\\busy.dll";
    m.WriteFile(path, "old");
    m.WriteFile("C:\\new.dll", "new");
    FileSystem& files = *m.platform().files;
    {
      LockHolder holder(m.HostPath(path), exclusive);
      ASSERT_TRUE(holder.WaitUntilHeld(m.machine(), path));
      EXPECT_EQ(files.DeleteFile(path).code(), kErrorSharingViolation);
      EXPECT_EQ(files.MoveFileEx("C:\\new.dll", path, kMoveFileReplaceExisting).code(),
                kErrorSharingViolation);
      std::unique_ptr<RandomAccessFile> reader;
      const Status read = files.NewRandomAccessFile(path, &reader);
      EXPECT_EQ(read.ok(), !exclusive) << read.ToString();
      if (exclusive) {
        EXPECT_EQ(read.code(), kErrorSharingViolation);
      }
      uint32_t attributes = 0;
      EXPECT_TRUE(files.GetFileAttributes(path, &attributes).ok()) << "a held file still exists";
      EXPECT_EQ(m.ReadFile(path), "old");
    }
    // The holder is gone; its lock goes with it.
    sandbox::HostLocation loc;
    m.machine().Locate(path, &loc);
    bool held_exclusively = false;
    for (int i = 0; i < 500 && m.machine().InUse(loc, &held_exclusively); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(files.DeleteFile(path).ok());
  }
}

}  // namespace
}  // namespace qv
