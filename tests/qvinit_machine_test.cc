// `qvinit machine ...` as a user runs it: exit codes, what it prints, and
// that bad input gets a clear answer without harm.
#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/test_util.h"

namespace qv {
namespace {

using testing::CommandResult;
using testing::QvinitPath;
using testing::RunCommand;

class QvinitMachineTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = testing::MakeTempDir("qvinit"); }
  void TearDown() override { testing::RemoveTree(dir_); }
  CommandResult Qvinit(std::vector<std::string> args) {
    args.insert(args.begin(), QvinitPath());
    return RunCommand(args);
  }
  std::string dir_;
};

TEST_F(QvinitMachineTest, InitThenShow) {
  const std::string m = dir_ + "/m";
  CommandResult init = Qvinit({"machine", "init", m, "--family", "9x", "--user", "restricted"});
  ASSERT_EQ(init.exit_code, 0) << init.err;
  CommandResult show = Qvinit({"machine", "show", m});
  ASSERT_EQ(show.exit_code, 0) << show.err;
  EXPECT_NE(show.out.find("9x"), std::string::npos);
  EXPECT_NE(show.out.find("C:\\WINDOWS"), std::string::npos);
  EXPECT_NE(show.out.find("ProgramFilesDir    REG_SZ    C:\\Program Files"), std::string::npos)
      << show.out;
  EXPECT_NE(show.out.find("SYSTEM\\"), std::string::npos) << show.out;
  EXPECT_NE(show.out.find("except below:      C:\\Program Files, C:\\WINDOWS"), std::string::npos)
      << show.out;
}

TEST_F(QvinitMachineTest, RegistrySetQueryAndExport) {
  const std::string m = dir_ + "/m";
  ASSERT_EQ(Qvinit({"machine", "init", m}).exit_code, 0);
  CommandResult q =
      Qvinit({"machine", "reg", m, "query", "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion",
              "ProgramFilesDir"});
  ASSERT_EQ(q.exit_code, 0) << q.err;
  EXPECT_EQ(q.out, "C:\\Program Files\n");

  CommandResult set =
      Qvinit({"machine", "reg", m, "set", "HKEY_LOCAL_MACHINE\\SOFTWARE\\Ostrel\\Quillmark",
              "Version", "3.00.0148"});
  ASSERT_EQ(set.exit_code, 0) << set.err;

  CommandResult exp = Qvinit({"machine", "reg", m, "export", "HKLM\\SOFTWARE\\Ostrel"});
  ASSERT_EQ(exp.exit_code, 0) << exp.err;
  EXPECT_NE(exp.out.find("Windows Registry Editor Version 5.00"), std::string::npos);
  EXPECT_NE(exp.out.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ostrel\\Quillmark]"), std::string::npos)
      << exp.out;
  EXPECT_NE(exp.out.find("\"Version\"=\"3.00.0148\""), std::string::npos) << exp.out;

  CommandResult missing = Qvinit({"machine", "reg", m, "query", "HKLM\\SOFTWARE\\Nothing"});
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_FALSE(missing.err.empty());
}

TEST_F(QvinitMachineTest, DamagedMachinesGetAClearError) {
  CommandResult none = Qvinit({"machine", "show", dir_ + "/absent"});
  EXPECT_EQ(none.exit_code, 1);
  EXPECT_NE(none.err.find("does not exist"), std::string::npos) << none.err;

  const std::string m = dir_ + "/m";
  ASSERT_EQ(Qvinit({"machine", "init", m}).exit_code, 0);
  testing::WriteHostFile(m + "/registry.db", "this is not a database at all, sorry");
  CommandResult bad = Qvinit({"machine", "reg", m, "query", "HKLM\\SOFTWARE"});
  EXPECT_EQ(bad.exit_code, 1);
  EXPECT_NE(bad.err.find("registry.db"), std::string::npos) << bad.err;
  EXPECT_EQ(testing::ReadHostFile(m + "/registry.db"), "this is not a database at all, sorry")
      << "a damaged registry is never overwritten";
}

// Drive folders are checked by where they really are: none may be the
// machine folder (with machine.json and registry.db in reach), lie above it
// or lead out of it through a link.
TEST_F(QvinitMachineTest, DriveFoldersMustLieInsideTheMachine) {
  struct Case {
    const char* drives;  // the profile's "drives"
    const char* says;    // in the error; nullptr: the machine opens
  };
  const Case cases[] = {
      {R"({"C": "."})", "drive C: (\".\") is the machine folder itself"},
      {R"({"C": "./"})", "is the machine folder itself"},
      {R"({"C": "drive_c", "D": "drive_c/../."})", "must lie inside the machine root"},
      {R"({"C": "drive_c", "D": "out"})", "outside the machine folder"},
      {R"({"C": "drive_c", "D": "up"})", "outside the machine folder"},
      {R"({"C": "drive_c", "D": "self"})", "is the machine folder itself"},
      {R"({"C": "drive_c", "D": "drive_c/Windows"})", nullptr},
      {R"({"C": "drive_c", "D": "inner"})", nullptr},
  };
  const std::string outside = dir_ + "/outside";
  testing::WriteHostFile(outside + "/keep.txt", "host");
  int row = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.drives);
    const std::string m = dir_ + "/m" + std::to_string(row++);
    ASSERT_EQ(Qvinit({"machine", "init", m}).exit_code, 0);
    ASSERT_EQ(::symlink(outside.c_str(), (m + "/out").c_str()), 0);
    ASSERT_EQ(::symlink("..", (m + "/up").c_str()), 0);
    ASSERT_EQ(::symlink(".", (m + "/self").c_str()), 0);
    ASSERT_EQ(::symlink("drive_c/Windows", (m + "/inner").c_str()), 0);
    std::string profile = testing::ReadHostFile(m + "/machine.json");
    const size_t at = profile.find(R"("drives": {)");
    ASSERT_NE(at, std::string::npos);
    profile.replace(at, profile.find('}', at) + 1 - at, std::string(R"("drives": )") + c.drives);
    testing::WriteHostFile(m + "/machine.json", profile);

    CommandResult show = Qvinit({"machine", "show", m});
    if (c.says == nullptr) {
      EXPECT_EQ(show.exit_code, 0) << show.err;
      EXPECT_NE(show.out.find("Drive D:\\"), std::string::npos) << show.out;
      continue;
    }
    EXPECT_EQ(show.exit_code, 1);
    EXPECT_NE(show.err.find(c.says), std::string::npos) << show.err;
    EXPECT_EQ(Qvinit({"machine", "reg", m, "query", "HKLM\\SOFTWARE"}).exit_code, 1);
  }
  EXPECT_EQ(testing::ReadHostFile(outside + "/keep.txt"), "host");
}

// A fresh machine runs no program unless it is made with --run-programs,
// and init says which it is.
TEST_F(QvinitMachineTest, InitSaysWhetherProgramsRun) {
  for (const bool run : {false, true}) {
    const std::string m = dir_ + (run ? "/run" : "/record");
    std::vector<std::string> args = {"machine", "init", m};
    if (run) args.push_back("--run-programs");
    CommandResult init = Qvinit(args);
    ASSERT_EQ(init.exit_code, 0) << init.err;
    EXPECT_NE(init.out.find(run ? "run on the host" : "programs.jsonl, not run"), std::string::npos)
        << init.out;
    EXPECT_NE(
        testing::ReadHostFile(m + "/machine.json").find(run ? R"("run": true)" : R"("run": false)"),
        std::string::npos);
    CommandResult show = Qvinit({"machine", "show", m});
    EXPECT_NE(show.out.find(run ? "programs:          run on the host"
                                : "programs:          recorded in programs.jsonl, not run"),
              std::string::npos)
        << show.out;
  }
  CommandResult help = Qvinit({"machine", "init", "--help"});
  EXPECT_NE(help.out.find("--run-programs"), std::string::npos);
  EXPECT_NE(help.out.find("UNSAFE"), std::string::npos);
}

TEST_F(QvinitMachineTest, UsageErrorsExitWithTwo) {
  EXPECT_EQ(Qvinit({}).exit_code, 2);
  EXPECT_EQ(Qvinit({"machine", "init"}).exit_code, 2);
  EXPECT_EQ(Qvinit({"machine", "init", dir_ + "/x", "--family", "me"}).exit_code, 2);
  EXPECT_EQ(Qvinit({"frobnicate"}).exit_code, 2);
  CommandResult help = Qvinit({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.out.find("machine"), std::string::npos);
}

}  // namespace
}  // namespace qv
