// Finding Windows names on the host: lookups without regard to case and by
// short name stay right while the folders change under them, whether the
// change comes through the sandbox or from a host program.
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

#include "platform/sandbox/folder_index.h"
#include "platform/sandbox/machine.h"
#include "tests/test_util.h"

namespace qv {
namespace {

using sandbox::HostLocation;
using testing::TestMachine;

// The name a Windows path leads to on the host, or "" when it leads nowhere.
std::string Found(TestMachine& m, const std::string& windows_path) {
  HostLocation loc;
  if (!m.machine().Locate(windows_path, &loc).ok() || !loc.exists) return "";
  return loc.actual_name;
}

TEST(NameLookupTest, OtherCaseFollowsChangesMadeByHostPrograms) {
  TestMachine m;
  m.WriteFile("C:\\Data\\keep.txt", "k");
  const std::string folder = m.HostPath("C:\\Data");

  // Not there yet, then made by a host program: found from then on.
  EXPECT_EQ(Found(m, "C:\\DATA\\report.TXT"), "");
  testing::WriteHostFile(folder + "/Report.txt", "1");
  EXPECT_EQ(Found(m, "C:\\DATA\\report.TXT"), "Report.txt");

  // Renamed to another case: the same question finds the new name.
  ASSERT_EQ(::rename((folder + "/Report.txt").c_str(), (folder + "/REPORT.TXT").c_str()), 0);
  EXPECT_EQ(Found(m, "C:\\DATA\\report.TXT"), "REPORT.TXT");
  EXPECT_EQ(Found(m, "C:\\Data\\Report.txt"), "REPORT.TXT");

  // Deleted: gone, also for the exact text asked before.
  ASSERT_EQ(::unlink((folder + "/REPORT.TXT").c_str()), 0);
  EXPECT_EQ(Found(m, "C:\\DATA\\report.TXT"), "");
  EXPECT_EQ(Found(m, "C:\\Data\\REPORT.TXT"), "");

  // A folder moved away and another made in its place is looked at anew.
  ASSERT_EQ(::rename(folder.c_str(), (folder + ".old").c_str()), 0);
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  testing::WriteHostFile(folder + "/Other.txt", "2");
  EXPECT_EQ(Found(m, "C:\\DATA\\KEEP.TXT"), "");
  EXPECT_EQ(Found(m, "C:\\DATA\\other.txt"), "Other.txt");
}

TEST(NameLookupTest, ShortNamesStayWithTheirFiles) {
  TestMachine m;
  FileSystem& files = *m.platform().files;
  m.WriteFile("C:\\Lib\\Long name one.txt", "one");
  std::string first;
  ASSERT_TRUE(files.GetShortPathName("C:\\Lib\\Long name one.txt", &first).ok());
  EXPECT_EQ(first, "C:\\Lib\\LONGNA~1.TXT");
  EXPECT_EQ(m.ReadFile(first), "one");

  // The file goes; a new one made later may take the free short name, and
  // the short name then leads to the new file.
  ASSERT_TRUE(files.DeleteFile("C:\\Lib\\Long name one.txt").ok());
  EXPECT_EQ(Found(m, first), "");
  m.WriteFile("C:\\Lib\\Long name two.txt", "two");
  std::string second;
  ASSERT_TRUE(files.GetShortPathName("C:\\Lib\\Long name two.txt", &second).ok());
  EXPECT_EQ(second, first);
  EXPECT_EQ(Found(m, first), "Long name two.txt");
  EXPECT_EQ(m.ReadFile(first), "two");

  // The first name made again is another file: it gets a short name of its
  // own instead of the one it had.
  m.WriteFile("C:\\Lib\\Long name one.txt", "one again");
  std::string third;
  ASSERT_TRUE(files.GetShortPathName("C:\\Lib\\Long name one.txt", &third).ok());
  EXPECT_NE(third, first);
  EXPECT_EQ(m.ReadFile(third), "one again");
  EXPECT_EQ(m.ReadFile(first), "two");
}

TEST(NameLookupTest, ShortNameFoundBeforeAnyoneAskedForIt) {
  // Windows gives short names when entries are made, so a short path can be
  // written (into a boot file, by hand) before the sandbox gave it out.
  TestMachine m;
  testing::WriteHostFile(m.HostPath("C:\\Program Files") + "/Plain Folder Name/Some file.dll",
                         "x");
  EXPECT_EQ(Found(m, "C:\\PROGRA~1\\PLAINF~1\\SOMEFI~1.DLL"), "Some file.dll");
  EXPECT_EQ(m.ReadFile("C:\\PROGRA~1\\PLAINF~1\\SOMEFI~1.DLL"), "x");
  // A short name that no entry has stays unknown.
  EXPECT_EQ(Found(m, "C:\\PROGRA~1\\PLAINF~2"), "");
}

TEST(FolderIndexTest, SeesEveryChangeToAWatchedFolder) {
  const std::string dir = testing::MakeTempDir();
  sandbox::FolderIndex index;
  std::string actual;
  ASSERT_TRUE(index.Lookup(dir, "A.TXT", &actual));
  EXPECT_EQ(actual, "");
  testing::WriteHostFile(dir + "/a.txt", "");
  ASSERT_TRUE(index.Lookup(dir, "A.TXT", &actual));
  EXPECT_EQ(actual, "a.txt");

  // Two names of one folded form: when one goes the other is found.
  testing::WriteHostFile(dir + "/A.txt", "");
  ASSERT_EQ(::unlink((dir + "/a.txt").c_str()), 0);
  ASSERT_TRUE(index.Lookup(dir, "A.TXT", &actual));
  EXPECT_EQ(actual, "A.txt");

  ASSERT_EQ(::rename((dir + "/A.txt").c_str(), (dir + "/b.txt").c_str()), 0);
  ASSERT_TRUE(index.Lookup(dir, "A.TXT", &actual));
  EXPECT_EQ(actual, "");
  ASSERT_TRUE(index.Lookup(dir, "B.TXT", &actual));
  EXPECT_EQ(actual, "b.txt");
  EXPECT_EQ(index.folder_count(), 1u);

  // A path that is no folder cannot be indexed.
  EXPECT_FALSE(index.Lookup(dir + "/b.txt", "X", &actual));
  testing::RemoveTree(dir);
}

}  // namespace
}  // namespace qv
