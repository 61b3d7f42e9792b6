// The cabinet expander on archives made by gcab and by the reference server
// (run_wine_tests.sh puts them in the folder QV_TEST_ARCHIVES: two.cmp holds
// readme.txt and sub/data.bin, packed.cmp holds readme.txt).
#include "platform/win32/win32_expander.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/win32/win32_test_support.h"

namespace qv::win32 {
namespace {

// The names in a folder, sorted, without "." and "..".
std::vector<std::string> Names(FileSystem& files, const std::string& folder) {
  std::vector<DirEntry> entries;
  std::vector<std::string> names;
  if (!files.ListDirectory(folder, &entries).ok()) return names;
  for (const DirEntry& e : entries) {
    if (e.name != "." && e.name != "..") names.push_back(e.name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(Win32ExpanderTest, ExpandsAllEntriesOrTheOneAskedAndNothingOnAFault) {
  const char* archives = std::getenv("QV_TEST_ARCHIVES");
  if (archives == nullptr) GTEST_SKIP() << "QV_TEST_ARCHIVES is not set (run_wine_tests.sh)";
  const std::string folder = archives;
  Win32FileSystem files;
  ScratchFolder scratch;
  std::string two;
  ASSERT_TRUE(ReadFileToString(files, folder + "\\two.cmp", &two).ok());
  scratch.Write("damaged.cmp", two.substr(0, two.size() / 2));
  scratch.Write("notacab.cmp", "plain text, no cabinet");

  struct Case {
    std::string archive;
    std::string only;
    uint32_t error;
    int32_t written;
    std::vector<std::string> names;  // in the destination afterwards
  };
  const std::vector<Case> cases = {
      {folder + "\\two.cmp", "", kErrorSuccess, 2, {"old.txt", "readme.txt", "sub"}},
      {folder + "\\two.cmp", "README.TXT", kErrorSuccess, 1, {"old.txt", "readme.txt"}},
      {folder + "\\two.cmp", "data.bin", kErrorFileNotFound, 0, {"old.txt"}},
      {folder + "\\packed.cmp", "", kErrorSuccess, 1, {"old.txt", "readme.txt"}},
      {scratch / "damaged.cmp", "", kErrorInvalidData, 0, {"old.txt"}},
      {scratch / "notacab.cmp", "", kErrorInvalidData, 0, {"old.txt"}},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.archive + " only=" + c.only);
    const std::string destination = scratch / ("out" + std::to_string(n++));
    ASSERT_TRUE(files.CreateDirectory(destination).ok());
    ASSERT_TRUE(WriteFileAtomically(files, destination + "\\old.txt", "kept").ok());
    Win32Expander expander(&files);
    ASSERT_TRUE(expander.SetDestination(destination).ok());
    ASSERT_TRUE(expander.SetArchive(c.archive).ok());
    ASSERT_TRUE(expander.SetOnlyEntry(c.only).ok());
    int32_t written = -1;
    const Status s = expander.Expand(&written);
    EXPECT_EQ(s.code(), c.error) << s.message();
    EXPECT_EQ(written, c.written);
    EXPECT_EQ(Names(files, destination), c.names);
    std::string text;
    if (s.ok()) {
      ASSERT_TRUE(ReadFileToString(files, destination + "\\readme.txt", &text).ok());
      EXPECT_EQ(text, "first entry\r\n");
    }
    if (c.written == 2) {
      ASSERT_TRUE(ReadFileToString(files, destination + "\\sub\\data.bin", &text).ok());
      ASSERT_EQ(text.size(), 300000u);
      for (size_t i = 0; i < text.size(); i += 997) {
        ASSERT_EQ(static_cast<uint8_t>(text[i]), i * 7 % 251);
      }
    }
  }
}

TEST(Win32ExpanderTest, AnEntryReplacesTheFileOfItsName) {
  const char* archives = std::getenv("QV_TEST_ARCHIVES");
  if (archives == nullptr) GTEST_SKIP() << "QV_TEST_ARCHIVES is not set (run_wine_tests.sh)";
  Win32FileSystem files;
  ScratchFolder scratch;
  scratch.Write("readme.txt", "an older text");
  Win32Expander expander(&files);
  ASSERT_TRUE(expander.SetDestination(scratch.path()).ok());
  ASSERT_TRUE(expander.SetArchive(std::string(archives) + "\\packed.cmp").ok());
  int32_t written = 0;
  ASSERT_TRUE(expander.Expand(&written).ok());
  EXPECT_EQ(written, 1);
  std::string text;
  ASSERT_TRUE(ReadFileToString(files, scratch / "readme.txt", &text).ok());
  EXPECT_EQ(text, "first entry\r\n");
  EXPECT_EQ(Names(files, scratch.path()), std::vector<std::string>{"readme.txt"});
}

}  // namespace
}  // namespace qv::win32
