// Version texts and numbers: the number of a version text in its written
// forms, texts that are not versions, the comparison, the split of a version
// word, and the installed version of files on a sandbox machine (version
// resource, side file, neither).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "install/modInstall.h"
#include "platform/platform.h"
#include "tests/test_util.h"

namespace qv {
namespace {

TEST(VersionToNumberTest, WrittenFormsPartCountsAndTextsThatAreNoVersion) {
  const struct {
    std::string text;
    double number;
  } cases[] = {
      // Four parts in every written form.
      {"6.0.81.69", 6000000810069.0},
      {"6,0,81,69", 6000000810069.0},
      {"6, 0, 81, 69", 6000000810069.0},
      {"  6, 0, 81, 69  ", 6000000810069.0},
      {" 6 . 0 . 81 . 69 ", 6000000810069.0},
      {"6.0,81.69", 6000000810069.0},
      {"10.2.1234.5678", 10000212345678.0},
      {"06.0000.0081.0069", 6000000810069.0},
      {"0.0.0.0", 0.0},
      {"0.0.0.6", 6.0},
      // No second dot: the third search finds the first dot again, so the
      // second number becomes the fourth part.
      {"1.2", 1000000000002.0},
      {"1,2", 1000000000002.0},
      // No third dot: the third and fourth parts are 0, and the text after
      // the second dot is not used, however large it is.
      {"1.2.3", 1000200000000.0},
      {"1.2.4", 1000200000000.0},
      {"1.2.99999", 1000200000000.0},
      // Empty parts are 0.
      {"1..2.3", 1000000020003.0},
      {".1.2.3", 100020003.0},
      {"1.2.3.", 1000200030000.0},
      {"1.", 1000000000000.0},
      // A fifth part makes the fourth "4.5", which is not a number.
      {"1.2.3.4.5", 1000200030000.0},
      // Text without dots is a plain number.
      {"5", 5.0},
      {" 5 ", 5.0},
      {"1 2", 12.0},
      {"+7", 7.0},
      {"007", 7.0},
      {"123456789012", 123456789012.0},
      // Text that is not a version is 0.
      {"", 0.0},
      {" ", 0.0},
      {"      ", 0.0},
      {".", 0.0},
      {"...", 0.0},
      {"1.2a.3.4", 0.0},
      {"v1.2.3.4", 0.0},
      {"abc", 0.0},
      {"1e5", 0.0},
      {"0x10", 0.0},
      {"$5", 0.0},
      {"\t1.2.3.4", 0.0},
      {"1.-2.3.4", 0.0},
      {"1.2.3.-4", 0.0},
      {"-1.2.3.4", 0.0},
      {std::string(400, '9'), 0.0},
      // Parts outside a version word make the text 0.
      {"40000.1.2.3", 40000000100020003.0},
      {"32768.0.0.0", 32768000000000000.0},
      {"65535.65535.65535.65535", 65535655356553565535.0},
      {"65536.0.0.0", 0.0},
      {"1.65536.0.0", 0.0},
      {"1.2.3.70000", 0.0},
      {"1.2.3.99999999999999999999", 0.0},
      {"1.2.3.000000000000000000004", 1000200030004.0},
      {"-0.1.2.3", 100020003.0},
  };
  for (const auto& c : cases) {
    EXPECT_DOUBLE_EQ(VersionToNumber(c.text), c.number) << '"' << c.text << '"';
  }
}

TEST(IsNewerVersionTest, ComparesNumbers) {
  // The same version in two written forms is not newer.
  EXPECT_FALSE(IsNewerVersion("6.0.81.69", "6,0,81,69"));
  EXPECT_FALSE(IsNewerVersion("6,0,81,69", "6.0.81.69"));
  EXPECT_FALSE(IsNewerVersion("6.0.81.69", " 6, 0, 81, 69 "));
  // Nothing installed: every positive version is newer.
  EXPECT_TRUE(IsNewerVersion("", "1.0.0.0"));
  EXPECT_TRUE(IsNewerVersion("", "0.0.0.1"));
  EXPECT_FALSE(IsNewerVersion("", ""));
  EXPECT_FALSE(IsNewerVersion("1.0.0.0", ""));
  // Each part in its place.
  EXPECT_TRUE(IsNewerVersion("6.0.81.69", "6.0.81.70"));
  EXPECT_TRUE(IsNewerVersion("6.0.81.69", "6.0.82.0"));
  EXPECT_TRUE(IsNewerVersion("6.0.81.69", "6.1.0.0"));
  EXPECT_TRUE(IsNewerVersion("6.9999.9999.9999", "7.0.0.0"));
  EXPECT_FALSE(IsNewerVersion("6.0.81.70", "6.0.81.69"));
  // Three parts lose the third: equal, neither newer.
  EXPECT_FALSE(IsNewerVersion("1.2.3", "1.2.4"));
  EXPECT_FALSE(IsNewerVersion("1.2.4", "1.2.3"));
  // 0.0.0.6 is 6, newer than the plain 5.
  EXPECT_TRUE(IsNewerVersion("5", "0.0.0.6"));
  // A major part above 32767 orders above the others.
  EXPECT_TRUE(IsNewerVersion("32767.9999.9999.9999", "40000.1.2.3"));
  // A text that is not a version counts as nothing installed.
  EXPECT_TRUE(IsNewerVersion("1.2a.3.4", "0.0.0.1"));
  EXPECT_TRUE(IsNewerVersion("70000.0.0.0", "1.0.0.0"));
  // A build part of five digits widens the number past a higher minor part.
  EXPECT_DOUBLE_EQ(VersionToNumber("1.2.12345.6"), 10002123450006.0);
  EXPECT_TRUE(IsNewerVersion("1.3.0.0", "1.2.12345.6"));
  // Large parts form more digits than a double holds; the last part still
  // decides, both ways, and equal versions stay equal.
  EXPECT_DOUBLE_EQ(VersionToNumber("40000.1.2.3"), VersionToNumber("40000.1.2.4"));
  EXPECT_TRUE(IsNewerVersion("40000.1.2.3", "40000.1.2.4"));
  EXPECT_FALSE(IsNewerVersion("40000.1.2.4", "40000.1.2.3"));
  EXPECT_TRUE(IsNewerVersion("65535.65535.65535.65534", "65535,65535,65535,65535"));
  EXPECT_FALSE(IsNewerVersion("65535.65535.65535.65535", "65535, 65535, 65535, 65535"));
  EXPECT_FALSE(IsNewerVersion("65535.65535.65535.65535", "65535.65535.65535.65534"));
}

TEST(SplitDWordTest, SplitsUnsigned) {
  struct Case {
    uint32_t value, low, high;
  };
  for (const Case& c :
       {Case{0x00060000u, 0, 6}, Case{0x00510045u, 0x45, 0x51}, Case{0x9C400001u, 1, 40000},
        Case{0xFFFFFFFFu, 65535, 65535}, Case{0, 0, 0}, Case{0x80000000u, 0, 32768}}) {
    uint32_t low = 1234, high = 1234;
    SplitDWord(c.value, &low, &high);
    EXPECT_EQ(low, c.low) << std::hex << c.value;
    EXPECT_EQ(high, c.high) << std::hex << c.value;
  }
}

// ---- The installed version of a file on the machine ---------------------------

class GetFileVersionStringTest : public ::testing::Test {
 protected:
  void Place(const std::string& fixture, const std::string& windows_path) {
    machine_.WriteFile(windows_path, testing::ReadHostFile(testing::FixturePath(fixture)));
  }

  testing::TestMachine machine_;
};

// Which images have which version is PeVersionTest's; here, the text made of
// the fixed version, its top bits included, and none for no file.
TEST_F(GetFileVersionStringTest, ReadsTheVersionResource) {
  struct Case {
    const char* fixture;  // nullptr: no file there
    const char* path;
    const char* version;
  };
  for (const Case& c : {
           Case{"v6_0_81_69_x86.dll", R"(C:\Windows\System32\qvctl.dll)", "6.0.81.69"},
           Case{"v65535_65535_65535_65535_x86.dll", R"(C:\top.dll)", "65535.65535.65535.65535"},
           Case{nullptr, R"(C:\Program Files\missing.dll)", ""},
           Case{nullptr, R"(C:\No Such Folder\missing.dll)", ""},
           Case{nullptr, "", ""},
       }) {
    SCOPED_TRACE(c.path);
    if (c.fixture != nullptr) Place(c.fixture, c.path);
    EXPECT_EQ(GetFileVersionString(c.path), c.version);
  }
  // The installed version compares with the wanted one in any written form.
  EXPECT_FALSE(
      IsNewerVersion(GetFileVersionString(R"(C:\Windows\System32\qvctl.dll)"), "6,0,81,69"));
  EXPECT_TRUE(
      IsNewerVersion(GetFileVersionString(R"(C:\Windows\System32\qvctl.dll)"), "6, 0, 81, 70"));
}

TEST_F(GetFileVersionStringTest, SideFileGivesTheVersionOfFilesWithoutOne) {
  const std::string target = R"(C:\Program Files\Ostrel\Quillmark\Client\data.mdb)";
  machine_.WriteFile(target, "not a program file");
  machine_.WriteFile(target + ".ver", "1. 2. 3. 4\r\n");
  EXPECT_EQ(GetFileVersionString(target), "1.2.3.4");

  // A library without a version resource.
  Place("noversion_x64.dll", R"(C:\Windows\plain.dll)");
  machine_.WriteFile(R"(C:\Windows\plain.dll.ver)", " 2,0,0,1 \r\n");
  EXPECT_EQ(GetFileVersionString(R"(C:\Windows\plain.dll)"), "2,0,0,1");

  // The side file counts even when the file itself is missing.
  machine_.WriteFile(R"(C:\Windows\gone.dat.ver)", "3.0.0.0\r\n");
  EXPECT_EQ(GetFileVersionString(R"(C:\Windows\gone.dat)"), "3.0.0.0");
  // A version resource wins over the side file.
  Place("v6_0_81_69_x64.dll", R"(C:\Windows\both.dll)");
  machine_.WriteFile(R"(C:\Windows\both.dll.ver)", "9.9.9.9\r\n");
  EXPECT_EQ(GetFileVersionString(R"(C:\Windows\both.dll)"), "6.0.81.69");

  // A library whose version block is cut off at the end of the file has no
  // version resource; its side file then counts.
  std::string image = testing::ReadHostFile(testing::FixturePath("v6_0_81_69_x64.dll"));
  image.resize(image.size() / 2);
  machine_.WriteFile(R"(C:\Windows\cut.dll)", image);
  EXPECT_EQ(GetFileVersionString(R"(C:\Windows\cut.dll)"), "");
  machine_.WriteFile(R"(C:\Windows\cut.dll.ver)", "1.0.0.0\r\n");
  EXPECT_EQ(GetFileVersionString(R"(C:\Windows\cut.dll)"), "1.0.0.0");
}

TEST_F(GetFileVersionStringTest, SideFileFirstLineOnly) {
  const struct {
    const char* contents;
    const char* version;
  } cases[] = {
      {"1.2.3.4\r\n9.9.9.9\r\n", "1.2.3.4"},
      {"1.2.3.4", "1.2.3.4"},
      {"1.2.3.4\n9.9.9.9\n", "1.2.3.4"},
      {"1.2.3.4\r9.9.9.9", "1.2.3.4"},
      {"  5 . 6 . 7 . 8  \r\n", "5.6.7.8"},
      // Text that is not a version is returned as it stands (without
      // spaces); the comparison counts it as 0.
      {"version one\r\n", "versionone"},
      // No line: an empty file, or one whose first line is empty.
      {"", ""},
      {"\r\n", ""},
      {"\r\n1.2.3.4\r\n", ""},
      {"   \r\n", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.contents);
    machine_.WriteFile(R"(C:\Windows\side.dat.ver)", c.contents);
    EXPECT_EQ(GetFileVersionString(R"(C:\Windows\side.dat)"), c.version);
  }
}

TEST_F(GetFileVersionStringTest, SideFileIsFoundByThePathAsPassed) {
  // The resource is read through the short path; the side file is opened
  // by the path exactly as given, so it follows the same name matching.
  machine_.WriteFile(R"(C:\Program Files\Long Folder Name\document.data.ver)", "4.3.2.1\r\n");
  EXPECT_EQ(GetFileVersionString(R"(c:\program files\LONG FOLDER NAME\Document.Data)"), "4.3.2.1");
  EXPECT_EQ(GetFileVersionString(R"(C:/Program Files/Long Folder Name/document.data)"), "4.3.2.1");
}

// Passes every call on to the machine's version reader and records the
// paths it was asked about.
class RecordingVersionInfo : public VersionInfo {
 public:
  explicit RecordingVersionInfo(VersionInfo* base) : base_(base) {}
  uint32_t GetFileVersionInfoSize(const std::string& path) override {
    size_paths.push_back(path);
    return base_->GetFileVersionInfoSize(path);
  }
  bool GetFileVersionInfo(const std::string& path, uint32_t size, uint8_t* buffer) override {
    info_paths.push_back(path);
    info_sizes.push_back(size);
    return base_->GetFileVersionInfo(path, size, buffer);
  }
  bool VerQueryValueRoot(const uint8_t* buffer, uint32_t size, const uint8_t** value,
                         uint32_t* length) override {
    return base_->VerQueryValueRoot(buffer, size, value, length);
  }

  std::vector<std::string> size_paths;
  std::vector<std::string> info_paths;
  std::vector<uint32_t> info_sizes;

 private:
  VersionInfo* base_;
};

TEST_F(GetFileVersionStringTest, ResourceIsReadThroughTheShortPath) {
  const std::string target = R"(C:\Program Files\Ostrel\Quillmark\Common\client library.dll)";
  Place("v6_0_81_69_x86.dll", target);
  const std::string short_path = GetShortPath(target);
  ASSERT_NE(short_path, "");
  ASSERT_NE(short_path, target);

  RecordingVersionInfo recording(machine_.platform().versions);
  Platform platform = machine_.platform();
  platform.versions = &recording;
  ScopedPlatform scope(&platform);

  EXPECT_EQ(GetFileVersionString(target), "6.0.81.69");
  EXPECT_EQ(recording.size_paths, std::vector<std::string>{short_path});
  EXPECT_EQ(recording.info_paths, std::vector<std::string>{short_path});
  ASSERT_EQ(recording.info_sizes.size(), 1u);
  EXPECT_EQ(recording.info_sizes[0], machine_.platform().versions->GetFileVersionInfoSize(target));

  // A missing file has no short form; the side file is still found by the
  // path as passed.
  recording.size_paths.clear();
  recording.info_paths.clear();
  machine_.WriteFile(R"(C:\Program Files\Ostrel\gone file.dat.ver)", "2.0.0.0\r\n");
  EXPECT_EQ(GetFileVersionString(R"(C:\Program Files\Ostrel\gone file.dat)"), "2.0.0.0");
  EXPECT_EQ(recording.size_paths, std::vector<std::string>{""});
  EXPECT_TRUE(recording.info_paths.empty());
}

}  // namespace
}  // namespace qv
