// A Platform of the Windows services, installed as the thread's current one,
// carries the seam's shared helpers (the atomic writer over MoveFileExW).
#include "platform/win32/win32_platform.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/win32/win32_test_support.h"

namespace qv::win32 {
namespace {

TEST(Win32PlatformTest, TheCurrentPlatformRunsOnTheWindowsServices) {
  Win32Services services;
  Platform platform;
  FillPlatform(&services, &platform);
  EXPECT_EQ(platform.loop, &services.loop);
  EXPECT_EQ(platform.loop->native_event_source(), &services.message_loop);
  EXPECT_EQ(platform.ui, nullptr);
  ASSERT_TRUE(platform.new_transfer);
  EXPECT_NE(platform.new_transfer(), nullptr);
  ASSERT_TRUE(platform.new_expander);
  EXPECT_NE(platform.new_expander(), nullptr);
  ASSERT_TRUE(platform.new_data_space);
  EXPECT_NE(platform.new_data_space(), nullptr);

  ScopedPlatform current(&platform);
  ScratchFolder folder;
  const std::string path = folder / "settings.ini";
  FileSystem& files = *CurrentPlatform().files;
  for (const std::string contents : {"first", "second, longer", ""}) {
    ASSERT_TRUE(WriteFileAtomically(files, path, contents).ok());
    std::string read;
    ASSERT_TRUE(ReadFileToString(files, path, &read).ok());
    EXPECT_EQ(read, contents);
  }
  std::vector<DirEntry> entries;
  ASSERT_TRUE(files.ListDirectory(folder.path(), &entries).ok());
  EXPECT_EQ(entries.size(), 1u);  // no temporary file left beside it
  EXPECT_EQ(CurrentPlatform().codec->code_page(), CurrentPlatform().system->AnsiCodePage());
}

}  // namespace
}  // namespace qv::win32
