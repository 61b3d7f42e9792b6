// `qvinit machine ...` as a user runs it: exit codes, what it prints, and
// that bad input gets a clear answer without harm.
#include <gtest/gtest.h>

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
  EXPECT_NE(show.out.find("except below:      C:\\Program Files, C:\\WINDOWS"),
            std::string::npos) << show.out;

  // A second init on the same folder is refused and changes nothing.
  const std::string before = testing::ReadHostFile(m + "/machine.json");
  CommandResult again = Qvinit({"machine", "init", m});
  EXPECT_EQ(again.exit_code, 1);
  EXPECT_NE(again.err.find("not empty"), std::string::npos) << again.err;
  EXPECT_EQ(testing::ReadHostFile(m + "/machine.json"), before);
}

TEST_F(QvinitMachineTest, RegistrySetQueryAndExport) {
  const std::string m = dir_ + "/m";
  ASSERT_EQ(Qvinit({"machine", "init", m}).exit_code, 0);
  CommandResult q = Qvinit({"machine", "reg", m, "query",
                            "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion",
                            "ProgramFilesDir"});
  ASSERT_EQ(q.exit_code, 0) << q.err;
  EXPECT_EQ(q.out, "C:\\Program Files\n");

  CommandResult set = Qvinit({"machine", "reg", m, "set",
                              "HKEY_LOCAL_MACHINE\\SOFTWARE\\Ostrel\\Quillmark", "Version",
                              "3.00.0148"});
  ASSERT_EQ(set.exit_code, 0) << set.err;
  q = Qvinit({"machine", "reg", m, "query", "hklm\\software\\ostrel\\quillmark", "version"});
  ASSERT_EQ(q.exit_code, 0) << q.err;
  EXPECT_EQ(q.out, "3.00.0148\n");

  CommandResult exp = Qvinit({"machine", "reg", m, "export", "HKLM\\SOFTWARE\\Ostrel"});
  ASSERT_EQ(exp.exit_code, 0) << exp.err;
  EXPECT_NE(exp.out.find("Windows Registry Editor Version 5.00"), std::string::npos);
  EXPECT_NE(exp.out.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ostrel\\Quillmark]"),
            std::string::npos) << exp.out;
  EXPECT_NE(exp.out.find("\"Version\"=\"3.00.0148\""), std::string::npos) << exp.out;

  CommandResult missing = Qvinit({"machine", "reg", m, "query", "HKLM\\SOFTWARE\\Nothing"});
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_FALSE(missing.err.empty());
  CommandResult bad_root = Qvinit({"machine", "reg", m, "query", "HKXX\\SOFTWARE"});
  EXPECT_EQ(bad_root.exit_code, 1);
  EXPECT_FALSE(bad_root.err.empty());
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

  testing::WriteHostFile(m + "/machine.json", "{");
  CommandResult broken = Qvinit({"machine", "show", m});
  EXPECT_EQ(broken.exit_code, 1);
  EXPECT_NE(broken.err.find("machine.json"), std::string::npos) << broken.err;
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
