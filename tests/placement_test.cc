// Placement of staged files by install type, and deferred replacement up to
// the next start of the machine, on sandbox machines of both families.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "install/modInstall.h"
#include "platform/sandbox/sandbox_file_system.h"
#include "platform/sandbox/sandbox_process.h"
#include "state/module_state.h"
#include "system/modRegistry.h"
#include "tests/test_util.h"

namespace qv {
namespace {

using sandbox::Family;

constexpr char kRunOnceExKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnceEx";

std::string FamilyName(Family family) { return family == Family::kNt ? "Nt" : "NineX"; }

// A machine with its folders resolved, a regsvr32.exe in the Common folder
// and the restart flag down.
struct Placement {
  explicit Placement(Family family = Family::kNt) : m(family) {
    InitFolders();
    gbRebootNeeded = false;
    m.WriteFile(gsDirCommon + "\\regsvr32.exe", "#!/bin/sh\nexit 0\n");
  }

  // Stages a file in the temp folder and gives its path.
  std::string Stage(const std::string& name, const std::string& contents) {
    const std::string path = gsDirTemp + "\\" + name;
    m.WriteFile(path, contents);
    return path;
  }

  // Lists path as held by another program. Reopens the machine.
  void Hold(const std::string& path, bool exclusive) {
    m.machine().mutable_profile()->files_in_use.push_back({path, exclusive});
    ASSERT_TRUE(m.machine().SaveProfile().ok());
    m.Reopen();
  }

  uint32_t Attributes(const std::string& path) {
    uint32_t attributes = 0;
    m.platform().files->GetFileAttributes(path, &attributes);
    return attributes;
  }

  const std::vector<sandbox::LaunchRecord>& launches() { return m.launches(); }
  std::optional<std::string> PendingRenames() {
    return m.Hklm(sandbox::kSessionManagerKey, sandbox::kPendingRenamesValue);
  }

  std::string Wininit() { return gsDirWindows + "\\wininit.ini"; }

  testing::TestMachine m;
};

enum class Target { kAbsent, kPresent, kReadOnly, kInUse, kHeldExclusively };

std::string TargetName(Target target) {
  static constexpr const char* kNames[] = {"Absent", "Present", "ReadOnly", "InUse",
                                           "HeldExclusively"};
  return kNames[static_cast<int>(target)];
}

// Sets up the target in the given state (with the text "old" when it is
// there).
void PrepareTarget(Placement& p, const std::string& target, Target state) {
  if (state == Target::kAbsent) return;
  p.m.WriteFile(target, "old");
  if (state == Target::kReadOnly) {
    ASSERT_TRUE(p.m.platform().files->SetFileAttributes(target, kFileAttributeReadOnly).ok());
  }
  if (state == Target::kInUse || state == Target::kHeldExclusively) {
    p.Hold(target, state == Target::kHeldExclusively);
  }
}

// ---- Types 1, 2 and 5 by target state, on both families -------------------

class ReplaceTypesTest : public ::testing::TestWithParam<std::tuple<Family, int16_t, Target>> {};

TEST_P(ReplaceTypesTest, ReplacesAtOnceOrAtTheNextStart) {
  const auto [family, type, state] = GetParam();
  Placement p(family);
  // Blanks in both paths: command lines must quote them.
  const std::string target = gsDirCommon + "\\shared lib.dll";
  const std::string source = p.Stage("shared lib.dll", "new");
  PrepareTarget(p, target, state);

  PlaceFile(source, type, target, "2.1.0.7");

  const bool deferred = state == Target::kInUse || state == Target::kHeldExclusively;
  EXPECT_EQ(p.m.ReadFile(target), deferred ? "old" : "new");
  EXPECT_EQ(p.m.Exists(source), deferred);
  EXPECT_EQ(gbRebootNeeded, deferred);

  // What was left for the next start, by the family's own mechanism.
  const bool nt = family == Family::kNt;
  if (deferred && nt) {
    EXPECT_EQ(p.PendingRenames(),
              std::string("\\??\\" + source + '\0' + "!\\??\\" + target + '\0' + '\0'));
  } else {
    EXPECT_EQ(p.PendingRenames(), std::nullopt);
  }
  if (deferred && !nt) {
    const std::string short_target = GetShortPath(target);
    EXPECT_NE(short_target.find("PROGRA~1"), std::string::npos) << short_target;
    EXPECT_EQ(short_target.find(' '), std::string::npos) << short_target;
    EXPECT_EQ(p.m.ReadFile(p.Wininit()),
              "[rename]\r\n" + short_target + "=" + GetShortPath(source) + "\r\n");
  } else {
    EXPECT_FALSE(p.m.Exists(p.Wininit()));
  }

  // Registration: at once through regsvr32, or through RunOnceEx.
  const bool registers = type == itReplaceRegister;
  if (registers && !deferred) {
    ASSERT_EQ(p.launches().size(), 1u);
    EXPECT_EQ(p.launches()[0].command_line,
              "\"" + gsDirCommon + "\\regsvr32.exe\" /s \"" + target + "\"");
    EXPECT_EQ(p.launches()[0].argv,
              (std::vector<std::string>{p.launches()[0].host_program, "/s", target}));
  } else {
    EXPECT_TRUE(p.launches().empty());
  }
  const std::optional<std::string> run_once = p.m.Hklm(kRunOnceExKey, "QV" + target);
  if (registers && deferred) {
    EXPECT_EQ(run_once, target + "|DllRegisterServer");
  } else {
    EXPECT_EQ(run_once, std::nullopt);
  }

  // The side file is written in both outcomes.
  if (type == itReplaceVersioned) {
    EXPECT_EQ(p.m.ReadFile(target + ".ver"), "2.1.0.7\r\n");
    EXPECT_EQ(GetFileVersionString(target), "2.1.0.7");
  } else {
    EXPECT_FALSE(p.m.Exists(target + ".ver"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    AllStates, ReplaceTypesTest,
    ::testing::Combine(::testing::Values(Family::kNt, Family::k9x),
                       ::testing::Values(itReplaceRegister, itReplace, itReplaceVersioned),
                       ::testing::Values(Target::kAbsent, Target::kPresent, Target::kReadOnly,
                                         Target::kInUse, Target::kHeldExclusively)),
    [](const auto& info) {
      return FamilyName(std::get<0>(info.param)) + "Type" +
             std::to_string(std::get<1>(info.param)) + TargetName(std::get<2>(info.param));
    });

// ---- wininit.ini ----------------------------------------------------------

// Each deferred file adds one line, under a "[rename]" header unless the file
// already ends in that section; the next start then replaces every file,
// read-only ones too.
TEST(WininitTest, EntriesLandInARenameSectionAndAreCarriedOutAtTheNextStart) {
  struct Case {
    const char* name;
    std::optional<std::string> before;  // nullopt: no wininit.ini yet
    std::string expected_start;         // what comes before the entries
  };
  const std::string garbage("\x00\xff\x1a[boot]\x00MZ", 10);
  std::string comments;
  while (comments.size() < 70 * 1024) comments += "; a comment line\r\n";
  const std::string kHeader = "[rename]\r\n";
  const std::vector<Case> cases = {
      {"new file", std::nullopt, kHeader},
      {"empty file", "", kHeader},
      {"ends in the section", "[rename]\r\nNUL=C:\\OLD.TMP\r\n", "[rename]\r\nNUL=C:\\OLD.TMP\r\n"},
      {"header in another case", "x=y\r\n  [ Rename ]  \r\n", "x=y\r\n  [ Rename ]  \r\n"},
      {"header far back", kHeader + comments, kHeader + comments},
      {"ends in another section", "[rename]\r\nNUL=C:\\OLD.TMP\r\n[Settings]\r\nx=1\r\n",
       "[rename]\r\nNUL=C:\\OLD.TMP\r\n[Settings]\r\nx=1\r\n" + kHeader},
      {"only another section", "[CombineVxDs]", "[CombineVxDs]\r\n" + kHeader},
      {"header in a comment", "[Settings]\r\n;[rename]\r\n", "[Settings]\r\n;[rename]\r\n" + kHeader},
      {"binary, no line end", garbage, garbage + "\r\n" + kHeader},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Placement p(Family::k9x);
    if (c.before) p.m.WriteFile(p.Wininit(), *c.before);
    std::string entries;
    std::vector<std::string> targets;
    for (const char* name : {"first file.dll", "second.dll"}) {
      const std::string target = gsDirClient + "\\" + name;
      const std::string source = p.Stage(name, "new");
      PrepareTarget(p, target, Target::kInUse);
      // A read-only file in use is replaced at the start all the same.
      ASSERT_TRUE(p.m.platform().files->SetFileAttributes(target, kFileAttributeReadOnly).ok());
      EXPECT_EQ(ReplaceTargetFile(source, target), ReplaceOutcome::kDeferred);
      entries += GetShortPath(target) + "=" + GetShortPath(source) + "\r\n";
      targets.push_back(target);
    }
    EXPECT_EQ(p.m.ReadFile(p.Wininit()), c.expected_start + entries);

    p.m.Reopen();
    const testing::CommandResult boot =
        testing::RunCommand({testing::QvinitPath(), "machine", "boot", p.m.root()});
    p.m.Reopen();
    ASSERT_EQ(boot.exit_code, 0) << boot.out << boot.err;
    for (const std::string& target : targets) EXPECT_EQ(p.m.ReadFile(target), "new") << target;
  }
}

TEST(WininitTest, UnwritableWininitLeavesTheTargetAsItWas) {
  Placement p(Family::k9x);
  p.m.WriteFile(p.Wininit(), "[rename]\r\n");
  ASSERT_TRUE(p.m.platform().files->SetFileAttributes(p.Wininit(), kFileAttributeReadOnly).ok());
  const std::string target = gsDirCommon + "\\x.dll";
  const std::string source = p.Stage("x.dll", "new");
  PrepareTarget(p, target, Target::kReadOnly);
  p.Hold(target, false);

  PlaceFile(source, itReplaceRegister, target, "");

  EXPECT_EQ(p.m.ReadFile(p.Wininit()), "[rename]\r\n");
  EXPECT_EQ(p.m.ReadFile(target), "old");
  EXPECT_EQ(p.Attributes(target), kFileAttributeReadOnly);
  EXPECT_TRUE(p.m.Exists(source));
  EXPECT_FALSE(gbRebootNeeded);
  EXPECT_EQ(p.m.Hklm(kRunOnceExKey, "QV" + target), std::nullopt);
}

// ---- What cannot be placed ------------------------------------------------

TEST(ReplaceTargetFileTest, RefusesWhatCannotBePlaced) {
  for (Family family : {Family::kNt, Family::k9x}) {
    SCOPED_TRACE(FamilyName(family));
    Placement p(family);

    // A missing source: the target, even one in use, is left alone and
    // nothing is deferred.
    const std::string busy = gsDirCommon + "\\busy.dll";
    PrepareTarget(p, busy, Target::kInUse);
    EXPECT_EQ(ReplaceTargetFile(gsDirTemp + "\\missing.dll", busy), ReplaceOutcome::kFailed);
    EXPECT_EQ(p.m.ReadFile(busy), "old");

    // A target folder that is missing is not made.
    const std::string source = p.Stage("a.dll", "new");
    EXPECT_EQ(ReplaceTargetFile(source, gsDirCommon + "\\No Such\\a.dll"), ReplaceOutcome::kFailed);
    EXPECT_FALSE(p.m.Exists(gsDirCommon + "\\No Such"));

    // A folder where the file belongs.
    p.m.WriteFile(gsDirCommon + "\\a.dll\\inside.txt", "x");
    EXPECT_EQ(ReplaceTargetFile(source, gsDirCommon + "\\a.dll"), ReplaceOutcome::kFailed);

    // Type 5 writes no side file for a file that was not placed: the next
    // run must still see the old version.
    PlaceFile(gsDirTemp + "\\missing.dll", itReplaceVersioned, busy, "9.9.9.9");
    EXPECT_FALSE(p.m.Exists(busy + ".ver"));
    EXPECT_TRUE(p.m.Exists(source));
    EXPECT_FALSE(gbRebootNeeded);
    EXPECT_EQ(p.PendingRenames(), std::nullopt);
    EXPECT_FALSE(p.m.Exists(p.Wininit()));
  }
}

TEST(ReplaceTargetFileTest, FailedMoveLeavesTheOldTargetInPlace) {
  for (Family family : {Family::kNt, Family::k9x}) {
    SCOPED_TRACE(FamilyName(family));
    Placement p(family);
    const std::string target = gsDirClient + "\\x.dll";
    const std::string source = p.Stage("x.dll", "new");
    PrepareTarget(p, target, Target::kPresent);
    // The source cannot move: the target stays as it was, with nothing left
    // beside it, and the replacement waits for the next start.
    p.Hold(source, false);
    EXPECT_EQ(ReplaceTargetFile(source, target), ReplaceOutcome::kDeferred);
    EXPECT_EQ(p.m.ReadFile(target), "old");
    std::vector<DirEntry> entries;
    ASSERT_TRUE(p.m.platform().files->ListDirectory(gsDirClient, &entries).ok());
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "x.dll");
  }
}

// A file system whose disk is full: files can be made and moved, but no
// byte can be written.
class FullDisk : public FileSystem {
 public:
  explicit FullDisk(FileSystem* base) : base_(base) {}
  Status CreateDirectory(const std::string& p) override { return base_->CreateDirectory(p); }
  Status RemoveDirectory(const std::string& p) override { return base_->RemoveDirectory(p); }
  Status GetFileAttributes(const std::string& p, uint32_t* a) override {
    return base_->GetFileAttributes(p, a);
  }
  Status SetFileAttributes(const std::string& p, uint32_t a) override {
    return base_->SetFileAttributes(p, a);
  }
  Status DeleteFile(const std::string& p) override { return base_->DeleteFile(p); }
  Status MoveFile(const std::string& f, const std::string& t) override {
    return base_->MoveFile(f, t);
  }
  Status MoveFileEx(const std::string& f, const std::string& t, uint32_t flags) override {
    return base_->MoveFileEx(f, t, flags);
  }
  Status CopyFile(const std::string&, const std::string&, bool) override {
    return Status::Error(kErrorDiskFull, "disk full");
  }
  Status GetFileSize(const std::string& p, uint64_t* s) override {
    return base_->GetFileSize(p, s);
  }
  Status NewWritableFile(const std::string& p, OpenMode mode,
                         std::unique_ptr<WritableFile>* result) override {
    std::unique_ptr<WritableFile> file;
    Status s = base_->NewWritableFile(p, mode, &file);
    if (s.ok()) result->reset(new FullFile(std::move(file)));
    return s;
  }
  Status NewRandomAccessFile(const std::string& p, std::unique_ptr<RandomAccessFile>* r) override {
    return base_->NewRandomAccessFile(p, r);
  }
  Status GetShortPathName(const std::string& p, std::string* s) override {
    return base_->GetShortPathName(p, s);
  }
  Status GetLongPathName(const std::string& p, std::string* l) override {
    return base_->GetLongPathName(p, l);
  }
  Status ListDirectory(const std::string& p, std::vector<DirEntry>* e) override {
    return base_->ListDirectory(p, e);
  }
  std::vector<char> Drives() override { return base_->Drives(); }
  std::string GetCurrentDirectory() override { return base_->GetCurrentDirectory(); }

 private:
  class FullFile : public WritableFile {
   public:
    explicit FullFile(std::unique_ptr<WritableFile> file) : file_(std::move(file)) {}
    Status Append(const void*, size_t) override {
      return Status::Error(kErrorDiskFull, "disk full");
    }
    Status Close() override { return file_->Close(); }

   private:
    std::unique_ptr<WritableFile> file_;
  };
  FileSystem* base_;
};

TEST(ReplaceTargetFileTest, FullDiskLosesNothingAndLeavesNoHalfFiles) {
  Placement p(Family::k9x);
  const std::string busy = gsDirClient + "\\busy.dll";
  PrepareTarget(p, busy, Target::kInUse);
  FullDisk full(p.m.platform().files);
  Platform platform = p.m.platform();
  platform.files = &full;
  ScopedPlatform scope(&platform);

  // The file moves (a rename needs no room) but its side file cannot be
  // written: none is left behind.
  const std::string data = gsDirClient + "\\data.mdb";
  PlaceFile(p.Stage("data.mdb", "new"), itReplaceVersioned, data, "1.0.0.1");
  EXPECT_EQ(p.m.ReadFile(data), "new");
  EXPECT_FALSE(p.m.Exists(data + ".ver"));

  // A file in use whose entry cannot be written: not deferred, no empty
  // wininit.ini without its header.
  EXPECT_EQ(ReplaceTargetFile(p.Stage("busy.dll", "new"), busy), ReplaceOutcome::kFailed);
  EXPECT_EQ(p.m.ReadFile(busy), "old");
  EXPECT_FALSE(p.m.Exists(p.Wininit()));
}

// ---- ClearTargetFile --------------------------------------------------------

TEST(ClearTargetFileTest, DeletesUnlessTheFileIsHeld) {
  const std::vector<std::pair<Target, bool>> cases = {
      {Target::kAbsent, true}, {Target::kPresent, true},          {Target::kReadOnly, true},
      {Target::kInUse, false}, {Target::kHeldExclusively, false},
  };
  for (const auto& [state, cleared] : cases) {
    SCOPED_TRACE(TargetName(state));
    Placement p;
    const std::string path = gsDirClient + "\\x.dll";
    PrepareTarget(p, path, state);
    EXPECT_EQ(ClearTargetFile(path), cleared);
    EXPECT_EQ(p.m.Exists(path), !cleared);
    if (!cleared) {
      EXPECT_EQ(p.m.ReadFile(path), "old");
    }
  }
  Placement p;
  p.m.WriteFile(gsDirClient + "\\folder\\x.txt", "x");
  EXPECT_FALSE(ClearTargetFile(gsDirClient + "\\folder"));
}

// ---- RunOnceEx and regsvr32 -------------------------------------------------

TEST(RegistrationTest, MissingPiecesAreNotMade) {
  Placement p;
  // No RunOnceEx key: none is made, and the replacement is still deferred.
  ASSERT_TRUE(DeleteKeyHKLM(kRunOnceExKey));
  const std::string busy = gsDirCommon + "\\busy.dll";
  PrepareTarget(p, busy, Target::kInUse);
  PlaceFile(p.Stage("busy.dll", "new"), itReplaceRegister, busy, "");
  EXPECT_TRUE(gbRebootNeeded);
  RegHandle key = 0;
  EXPECT_NE(
      p.m.platform().registry->OpenKeyEx(kHkeyLocalMachine, kRunOnceExKey, 0, kKeyQueryValue, &key),
      0u);

  // No regsvr32.exe: the file is placed all the same.
  ASSERT_TRUE(p.m.platform().files->DeleteFile(gsDirCommon + "\\regsvr32.exe").ok());
  const std::string target = gsDirCommon + "\\x.dll";
  PlaceFile(p.Stage("x.dll", "new"), itReplaceRegister, target, "");
  EXPECT_EQ(p.m.ReadFile(target), "new");
  EXPECT_TRUE(p.launches().empty());
}

// ---- Types 3 and 4, and types outside the table -----------------------------

TEST(RunTypesTest, StartsTheProgramMinimisedWithoutWaiting) {
  for (Family family : {Family::kNt, Family::k9x}) {
    SCOPED_TRACE(FamilyName(family));
    Placement p(family);
    // The program would ask for a restart if anyone waited for it.
    const std::string program =
        p.Stage("client setup.exe", "#!/bin/sh\necho 3010 > \"$QV_EXIT_CODE_FILE\"\n");
    PlaceFile(program, itRun, "", "");
    ASSERT_EQ(p.launches().size(), 1u);
    EXPECT_EQ(p.launches()[0].command_line, "\"" + program + "\"");
    EXPECT_EQ(p.launches()[0].style, WindowStyle::kMinimizedFocus);
    EXPECT_TRUE(p.m.Exists(program));

    // A program that cannot be started ends nothing.
    PlaceFile(gsDirTemp + "\\missing.exe", itRun, "", "");
    PlaceFile(p.Stage("text.exe", "not a program"), itRun, "", "");
    EXPECT_EQ(p.launches().size(), 1u);
    EXPECT_FALSE(gbRebootNeeded);
  }
}

TEST(RunTypesTest, RunsPackagesWithTheirArguments) {
  struct Case {
    std::string file;
    int exit_code;
    std::string arguments;
    bool reboot;
  };
  const std::vector<Case> cases = {
      {"mdac_typ.exe", 3010, " /q:a /c:\"dasetup.exe /q /n\"", true},
      {"mdac_typ.exe", 0, " /q:a /c:\"dasetup.exe /q /n\"", false},
      {"JET40SP3_COMP.EXE", 3010, "", true},
      {"VBRUN60SP5.EXE", 3010, " /Q", true},
      {"vbrun60.exe", 1, " /Q", false},
      {"other package.exe", 3010, "", false},
  };
  for (Family family : {Family::kNt, Family::k9x}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(FamilyName(family) + " " + c.file + " " + std::to_string(c.exit_code));
      Placement p(family);
      const std::string package = p.Stage(
          c.file, "#!/bin/sh\necho " + std::to_string(c.exit_code) + " > \"$QV_EXIT_CODE_FILE\"\n");
      PlaceFile(package, itRunPackage, "", "");
      ASSERT_EQ(p.launches().size(), 1u);
      EXPECT_EQ(p.launches()[0].command_line, "\"" + package + "\"" + c.arguments);
      EXPECT_EQ(gbRebootNeeded, c.reboot);
      EXPECT_TRUE(p.m.Exists(package));
    }
  }
  // The inner quotes group the second argument.
  Placement p;
  PlaceFile(p.Stage("MDAC_TYP.EXE", "#!/bin/sh\n"), itRunPackage, "", "");
  ASSERT_EQ(p.launches().size(), 1u);
  EXPECT_EQ(p.launches()[0].argv, (std::vector<std::string>{p.launches()[0].host_program, "/q:a",
                                                            "/c:dasetup.exe /q /n"}));
}

TEST(RunTypesTest, OtherTypesDoNothing) {
  for (int16_t type : {0, 6, -1}) {
    SCOPED_TRACE(type);
    Placement p;
    const std::string source = p.Stage("x.exe", "#!/bin/sh\n");
    const std::string target = gsDirClient + "\\x.exe";
    PlaceFile(source, type, target, "1.0.0.0");
    EXPECT_TRUE(p.m.Exists(source));
    EXPECT_FALSE(p.m.Exists(target));
    EXPECT_FALSE(p.m.Exists(target + ".ver"));
    EXPECT_TRUE(p.launches().empty());
    EXPECT_FALSE(gbRebootNeeded);
  }
}

// ---- The side file ------------------------------------------------------------

TEST(VersionSideFileTest, ReplacesTheOldOneAndNeverEndsTheRun) {
  Placement p;
  const std::string target = gsDirClient + "\\data.mdb";
  // An old side file, read-only: replaced by the new version.
  p.m.WriteFile(target + ".ver", "1.0.0.0\r\n");
  ASSERT_TRUE(
      p.m.platform().files->SetFileAttributes(target + ".ver", kFileAttributeReadOnly).ok());
  PlaceFile(p.Stage("data.mdb", "new"), itReplaceVersioned, target, "2.0.0.0");
  EXPECT_EQ(p.m.ReadFile(target + ".ver"), "2.0.0.0\r\n");

  // A folder where the side file belongs: the file is placed all the same.
  const std::string other = gsDirClient + "\\other.mdb";
  p.m.WriteFile(other + ".ver\\x.txt", "x");
  PlaceFile(p.Stage("other.mdb", "new"), itReplaceVersioned, other, "2.0.0.0");
  EXPECT_EQ(p.m.ReadFile(other), "new");
}

}  // namespace
}  // namespace qv
