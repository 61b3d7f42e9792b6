// The sandbox as a boundary: paths stay below their drive folder whatever
// links lie on the way, and programs run on the host only when the machine's
// profile lets them.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>

#include "platform/posix/unique_fd.h"
#include "platform/sandbox/open_beneath.h"
#include "platform/sandbox/sandbox_file_system.h"
#include "tests/test_util.h"

namespace qv::sandbox {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using testing::Programs;
using testing::ReadHostFile;
using testing::TestMachine;
using testing::WriteHostFile;

// ---- Opening below a folder --------------------------------------------------

class OpenBeneathTest : public ::testing::Test {
 protected:
  OpenBeneathTest() : top_(testing::MakeTempDir("beneath")) {
    // top/root is the folder opened; top/outside lies beside it.
    fs::create_directories(top_ + "/root/dir/sub");
    fs::create_directories(top_ + "/outside");
    WriteHostFile(top_ + "/root/dir/file", "inside");
    WriteHostFile(top_ + "/outside/secret", "outside");
    Link("dir", "root/near");                   // a folder inside
    Link("dir/file", "root/near_file");         // a file inside
    Link("../file", "root/dir/sub/up");         // climbs, stays inside
    Link("../outside", "root/out");             // climbs out
    Link(top_ + "/outside", "root/abs_out");    // absolute
    Link(top_ + "/root/dir", "root/abs_in");    // absolute, though it lands inside
    Link("../../outside/secret", "root/dir/leak");
    Link("loop_b", "root/loop_a");
    Link("loop_a", "root/loop_b");
    root_fd_ = ::open((top_ + "/root").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  }
  ~OpenBeneathTest() override {
    ::close(root_fd_);
    testing::RemoveTree(top_);
  }
  void Link(const std::string& target, const std::string& at) {
    ASSERT_EQ(::symlink(target.c_str(), (top_ + "/" + at).c_str()), 0) << at;
  }

  std::string top_;
  int root_fd_ = -1;
};

TEST_F(OpenBeneathTest, KernelAndWalkAgreeOnEveryPath) {
  struct Case {
    const char* rel;
    int flags;
    int error;             // 0: opens
    const char* contents;  // what a file opened for reading holds
  };
  const Case cases[] = {
      {"dir/file", O_RDONLY, 0, "inside"},
      {"near/file", O_RDONLY, 0, "inside"},
      {"near_file", O_RDONLY, 0, "inside"},
      {"dir/sub/up", O_RDONLY, 0, "inside"},
      {"", O_RDONLY | O_DIRECTORY, 0, nullptr},
      {"near", O_RDONLY | O_DIRECTORY, 0, nullptr},
      {"out/secret", O_RDONLY, EXDEV, nullptr},
      {"out", O_RDONLY | O_DIRECTORY, EXDEV, nullptr},
      {"abs_out/secret", O_RDONLY, EXDEV, nullptr},
      {"abs_in/file", O_RDONLY, EXDEV, nullptr},
      {"dir/leak", O_RDONLY, EXDEV, nullptr},
      {"../outside/secret", O_RDONLY, EXDEV, nullptr},
      {"out/new", O_WRONLY | O_CREAT, EXDEV, nullptr},
      {"loop_a", O_RDONLY, ELOOP, nullptr},
      {"near_file", O_RDONLY | O_NOFOLLOW, ELOOP, nullptr},
      {"dir/missing", O_RDONLY, ENOENT, nullptr},
  };
  using Opener = int (*)(int, const std::string&, int, mode_t);
  for (const auto& [name, open] : {std::pair<const char*, Opener>{"kernel", &OpenBeneath},
                                   std::pair<const char*, Opener>{"walk", &OpenBeneathByWalk}}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(name) + ": " + c.rel);
      errno = 0;
      UniqueFd fd(open(root_fd_, c.rel, c.flags, 0644));
      if (c.error != 0) {
        EXPECT_LT(fd.get(), 0);
        EXPECT_EQ(errno, c.error);
        continue;
      }
      ASSERT_GE(fd.get(), 0) << std::strerror(errno);
      if (c.contents != nullptr) {
        char buffer[32] = {};
        EXPECT_EQ(::read(fd.get(), buffer, sizeof(buffer) - 1), 6);
        EXPECT_STREQ(buffer, c.contents);
      }
    }
  }
  // Nothing was made outside.
  EXPECT_FALSE(fs::exists(top_ + "/outside/new"));
}

TEST_F(OpenBeneathTest, NamesTheLinkThatLeadsOut) {
  struct Case {
    const char* rel;
    bool escapes;
    const char* link;
  };
  const Case cases[] = {
      {"out/secret", true, "out"},
      {"abs_out", true, "abs_out"},
      {"dir/leak", true, "dir/leak"},
      {"near/sub/up", false, ""},
      {"dir/file", false, ""},
  };
  for (const Case& c : cases) {
    std::string link;
    std::string target;
    EXPECT_EQ(FindEscapingLink(root_fd_, c.rel, &link, &target), c.escapes) << c.rel;
    if (c.escapes) {
      EXPECT_EQ(link, c.link) << c.rel;
    }
  }
}

// ---- The machine's file system and links -------------------------------------

// A drive with links put into it by the host's user: every operation that
// would go through a link that leads out is refused with ERROR_ACCESS_DENIED
// and a message naming the link, and the host outside stays as it was.
TEST(SandboxLinksTest, LinksThatLeadOutAreRefusedByEveryOperation) {
  TestMachine m;
  const std::string outside = testing::MakeTempDir("qvoutside");
  WriteHostFile(outside + "/secret.txt", "host file");
  const std::string drive = m.root() + "/drive_c";
  const std::string client = drive + "/Program Files/Client";
  ASSERT_EQ(::symlink(outside.c_str(), client.c_str()), 0);  // a Client folder linked outside
  ASSERT_EQ(::symlink((outside + "/secret.txt").c_str(), (drive + "/secret.txt").c_str()), 0);
  ASSERT_EQ(::symlink("../../..", (drive + "/Windows/up").c_str()), 0);  // climbs out
  m.WriteFile("C:\\inside.txt", "drive file");
  const auto before = testing::HostTree(outside, /*folders=*/true);

  FileSystem& files = *m.platform().files;
  struct Case {
    const char* what;
    const char* link;  // named in the message
    std::function<Status()> run;
  };
  std::unique_ptr<WritableFile> writer;
  std::unique_ptr<RandomAccessFile> reader;
  std::vector<DirEntry> entries;
  uint32_t attributes = 0;
  const std::vector<Case> cases = {
      {"write into the linked folder", "C:\\Program Files\\Client",
       [&] { return files.NewWritableFile("C:\\Program Files\\Client\\x.dll",
                                          OpenMode::kCreateAlways, &writer); }},
      {"overwrite a file through the folder", "C:\\Program Files\\Client",
       [&] { return files.NewWritableFile("C:\\Program Files\\Client\\secret.txt",
                                          OpenMode::kCreateAlways, &writer); }},
      {"read a file through the folder", "C:\\Program Files\\Client",
       [&] { return files.NewRandomAccessFile("C:\\Program Files\\Client\\secret.txt", &reader); }},
      {"read a linked file", "C:\\secret.txt",
       [&] { return files.NewRandomAccessFile("C:\\secret.txt", &reader); }},
      {"overwrite a linked file", "C:\\secret.txt",
       [&] { return files.NewWritableFile("C:\\secret.txt", OpenMode::kAppend, &writer); }},
      {"copy a linked file in", "C:\\secret.txt",
       [&] { return files.CopyFile("C:\\secret.txt", "C:\\copy.txt", false); }},
      {"copy into the linked folder", "C:\\Program Files\\Client",
       [&] { return files.CopyFile("C:\\inside.txt", "C:\\Program Files\\Client\\c.txt", false); }},
      {"move into the linked folder", "C:\\Program Files\\Client",
       [&] { return files.MoveFile("C:\\inside.txt", "C:\\Program Files\\Client\\m.txt"); }},
      {"delete through the folder", "C:\\Program Files\\Client",
       [&] { return files.DeleteFile("C:\\Program Files\\Client\\secret.txt"); }},
      {"make a folder in the linked folder", "C:\\Program Files\\Client",
       [&] { return files.CreateDirectory("C:\\Program Files\\Client\\New"); }},
      {"list the linked folder", "C:\\Program Files\\Client",
       [&] { return files.ListDirectory("C:\\Program Files\\Client", &entries); }},
      {"attributes through a climbing link", "C:\\Windows\\up",
       [&] { return files.GetFileAttributes("C:\\Windows\\up\\etc", &attributes); }},
      {"write through a climbing link", "C:\\Windows\\up",
       [&] { return files.NewWritableFile("C:\\Windows\\up\\x", OpenMode::kCreateAlways, &writer); }},
  };
  for (const Case& c : cases) {
    const Status s = c.run();
    EXPECT_EQ(s.code(), kErrorAccessDenied) << c.what << ": " << s.ToString();
    EXPECT_THAT(s.message(), HasSubstr(c.link)) << c.what;
    EXPECT_THAT(s.message(), HasSubstr("leads outside drive C:")) << c.what;
  }
  EXPECT_EQ(writer, nullptr);
  EXPECT_EQ(testing::HostTree(outside, /*folders=*/true), before);
  EXPECT_EQ(m.ReadFile("C:\\inside.txt"), "drive file");
  EXPECT_FALSE(m.Exists("C:\\copy.txt"));
  testing::RemoveTree(outside);
}

// Links that stay inside the drive go on working.
TEST(SandboxLinksTest, LinksInsideTheDriveKeepWorking) {
  TestMachine m;
  const std::string drive = m.root() + "/drive_c";
  ASSERT_EQ(::symlink("Program Files", (drive + "/Apps").c_str()), 0);
  m.WriteFile("C:\\Program Files\\a.txt", "a");
  ASSERT_EQ(::symlink("../Program Files/a.txt", (drive + "/Windows/a-link.txt").c_str()), 0);
  FileSystem& files = *m.platform().files;

  std::unique_ptr<WritableFile> writer;
  ASSERT_TRUE(files.NewWritableFile("C:\\Apps\\b.txt", OpenMode::kCreateAlways, &writer).ok());
  ASSERT_TRUE(writer->Append("b", 1).ok());
  ASSERT_TRUE(writer->Close().ok());
  EXPECT_EQ(ReadHostFile(drive + "/Program Files/b.txt"), "b");
  EXPECT_TRUE(files.CopyFile("C:\\Windows\\a-link.txt", "C:\\Apps\\c.txt", true).ok());
  EXPECT_EQ(ReadHostFile(drive + "/Program Files/c.txt"), "a");
  EXPECT_TRUE(files.CreateDirectory("C:\\Apps\\Sub").ok());
  EXPECT_TRUE(fs::is_directory(drive + "/Program Files/Sub"));
  EXPECT_TRUE(files.MoveFile("C:\\Apps\\c.txt", "C:\\Apps\\Sub\\c.txt").ok());
  EXPECT_TRUE(files.DeleteFile("C:\\Apps\\Sub\\c.txt").ok());
  EXPECT_FALSE(fs::exists(drive + "/Program Files/Sub/c.txt"));
}

// A folder looked up before and turned into a link to the host afterwards
// (by another program on the host): the open itself refuses it.
TEST(SandboxLinksTest, AFolderSwappedForALinkAfterLookupIsStillRefused) {
  TestMachine m;
  const std::string outside = testing::MakeTempDir("qvoutside");
  WriteHostFile(outside + "/a.dll", "host");
  m.WriteFile("C:\\Client\\a.dll", "drive");
  FileSystem& files = *m.platform().files;
  std::unique_ptr<RandomAccessFile> reader;
  ASSERT_TRUE(files.NewRandomAccessFile("C:\\Client\\a.dll", &reader).ok());
  reader.reset();

  const std::string client = m.root() + "/drive_c/Client";
  fs::remove_all(client);
  ASSERT_EQ(::symlink(outside.c_str(), client.c_str()), 0);
  std::unique_ptr<WritableFile> writer;
  const Status s = files.NewWritableFile("C:\\Client\\a.dll", OpenMode::kCreateAlways, &writer);
  EXPECT_EQ(s.code(), kErrorAccessDenied) << s.ToString();
  EXPECT_THAT(s.message(), HasSubstr("C:\\Client"));
  EXPECT_EQ(ReadHostFile(outside + "/a.dll"), "host");
  testing::RemoveTree(outside);
}

// ---- Programs ---------------------------------------------------------------

// Sets the profile's programs entry and reopens the machine.
void SetPrograms(TestMachine& m, bool run, const nlohmann::json& exit_codes) {
  const std::string path = m.root() + "/machine.json";
  nlohmann::json profile = nlohmann::json::parse(ReadHostFile(path));
  profile["programs"] = {{"run", run}, {"exit_codes", exit_codes}};
  WriteHostFile(path, profile.dump());
  m.Reopen();
}

// Each program's body writes a marker on the host; on a machine that does
// not run programs the marker never appears and the exit code is the
// profile's.
TEST(SandboxProgramsTest, ProgramsRunOnlyWhenTheProfileSaysSo) {
  const std::string markers = testing::MakeTempDir("qvmarkers");
  struct Case {
    const char* what;
    bool run;
    nlohmann::json exit_codes;
    const char* command_line;
    uint32_t exit_code;
  };
  const std::vector<Case> cases = {
      {"not run, not listed", false, nlohmann::json::object(), "C:\\Temp\\setup.exe /q", 0},
      {"not run, by name", false, {{"SETUP.EXE", 3010}}, "C:\\Temp\\setup.exe /q", 3010},
      {"not run, a path wins over a name", false,
       {{"setup.exe", 1}, {"c:\\temp\\SETUP.exe", 5}}, "C:\\Temp\\setup.exe", 5},
      {"not run, negative code", false, {{"setup.exe", -1}}, "C:\\Temp\\setup.exe", 0xFFFFFFFFu},
      {"not run, bare name found in the system folder", false, {{"regsvr32.exe", 7}},
       "regsvr32.exe /s C:\\x.dll", 7},
      {"run: the program's own code", true, {{"setup.exe", 3010}}, "C:\\Temp\\setup.exe", 42},
  };
  int row = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestMachine m(Family::kNt, true, Programs::kRecord);
    SetPrograms(m, c.run, c.exit_codes);
    const std::string marker = markers + "/marker" + std::to_string(row++);
    const std::string body = "#!/bin/sh\ntouch '" + marker + "'\nexit 42\n";
    m.WriteFile("C:\\Temp\\setup.exe", body);
    m.WriteFile("C:\\Windows\\System32\\regsvr32.exe", body);

    std::unique_ptr<Process> process;
    const Status s = m.platform().processes->CreateProcess(c.command_line, WindowStyle::kDefault,
                                                           &process);
    ASSERT_TRUE(s.ok()) << s.ToString();
    EXPECT_EQ(process->Wait(), c.exit_code);
    EXPECT_EQ(fs::exists(marker), c.run);
    ASSERT_EQ(m.launches().size(), 1u);
    EXPECT_EQ(m.launches()[0].ran, c.run);
    const std::string log = m.root() + "/programs.jsonl";
    if (c.run) {
      EXPECT_FALSE(fs::exists(log));
    } else {
      const nlohmann::json line = nlohmann::json::parse(ReadHostFile(log));
      EXPECT_EQ(line["command_line"], c.command_line);
      EXPECT_EQ(line["exit_code"], c.exit_code);
      EXPECT_EQ(line["run"], false);
    }
  }
  // A command line that names nothing is an error either way.
  TestMachine m(Family::kNt, true, Programs::kRecord);
  std::unique_ptr<Process> process;
  EXPECT_EQ(m.platform().processes->CreateProcess("C:\\none.exe", WindowStyle::kDefault, &process)
                .code(),
            kErrorFileNotFound);
  testing::RemoveTree(markers);
}

TEST(SandboxProgramsTest, ProfileKeepsAndChecksTheProgramsEntry) {
  struct Case {
    const char* programs;  // JSON of the entry; "" for none
    bool ok;
    bool run;
  };
  const Case cases[] = {
      {"", true, false},  // a profile from before the entry: programs are not run
      {R"({"run": true})", true, true},
      {R"({"exit_codes": {"a.exe": 4294967295}})", true, false},
      {R"({"run": "yes"})", false, false},
      {R"({"exit_codes": {"a.exe": 4294967296}})", false, false},
      {R"({"exit_codes": {"a.exe": "3010"}})", false, false},
      {R"({"exit_codes": []})", false, false},
      {R"([])", false, false},
  };
  for (const Case& c : cases) {
    std::string text = R"({"format": "qv-machine", "version": 1)";
    if (*c.programs) text += std::string(R"(, "programs": )") + c.programs;
    text += "}";
    MachineProfile profile;
    const Status s = ParseProfile(text, &profile);
    EXPECT_EQ(s.ok(), c.ok) << c.programs << ": " << s.ToString();
    if (!c.ok) {
      EXPECT_THAT(s.message(), HasSubstr("programs")) << c.programs;
      continue;
    }
    EXPECT_EQ(profile.run_programs, c.run) << c.programs;
    MachineProfile again;
    ASSERT_TRUE(ParseProfile(SerializeProfile(profile), &again).ok());
    EXPECT_EQ(again.run_programs, profile.run_programs);
    EXPECT_EQ(again.program_exit_codes, profile.program_exit_codes);
  }
}

}  // namespace
}  // namespace qv::sandbox
