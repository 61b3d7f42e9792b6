// System information, version resources and the restart privileges, read
// from the running Windows (Wine) and from the test program's own file.
#include "platform/win32/win32_system_info.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/win32/win32_file_system.h"
#include "platform/win32/win32_restart.h"
#include "platform/win32/win32_version_info.h"
#include "tests/win32/win32_test_support.h"

namespace qv::win32 {
namespace {

TEST(Win32SystemInfoTest, FolderQueriesFollowTheBufferRules) {
  Win32SystemInfo system;
  Win32FileSystem files;
  using Query = uint32_t (Win32SystemInfo::*)(char*, uint32_t);
  for (Query query :
       {&Win32SystemInfo::GetSystemDirectory, &Win32SystemInfo::GetWindowsDirectory}) {
    const uint32_t needed = (system.*query)(nullptr, 0);
    ASSERT_GT(needed, 3u);
    std::string folder(needed, '#');
    // One byte short: nothing written, the size needed again.
    EXPECT_EQ((system.*query)(folder.data(), needed - 1), needed);
    EXPECT_EQ(folder, std::string(needed, '#'));
    // Exactly enough: the folder, its zero, the length without it.
    EXPECT_EQ((system.*query)(folder.data(), needed), needed - 1);
    EXPECT_EQ(folder[needed - 1], '\0');
    uint32_t attributes = 0;
    ASSERT_TRUE(files.GetFileAttributes(folder.c_str(), &attributes).ok()) << folder;
    EXPECT_NE(attributes & kFileAttributeDirectory, 0u);
  }
}

TEST(Win32SystemInfoTest, VersionMemoryAndCodePage) {
  Win32SystemInfo system;
  OsVersionInfo info;
  EXPECT_FALSE(system.GetVersionEx(&info));  // the size field is not set
  info.os_version_info_size = 148;
  ASSERT_TRUE(system.GetVersionEx(&info));
  EXPECT_EQ(info.platform_id, kVerPlatformWin32Nt);
  EXPECT_GE(info.major_version, 5u);
  const uint32_t version = system.GetVersion();
  EXPECT_EQ(version & 0x80000000u, 0u);  // the NT family
  EXPECT_EQ(version & 0xFFu, info.major_version);

  const MemoryStatus memory = system.GlobalMemoryStatus();
  EXPECT_GT(memory.total_physical, 0u);
  EXPECT_LE(memory.available_physical, memory.total_physical);
  EXPECT_LE(memory.memory_load, 100u);

  EXPECT_NE(system.GetCurrentProcessId(), 0u);
}

TEST(Win32VersionInfoTest, ReadsTheFixedInfoOfAProgramFile) {
  ScratchFolder folder;
  folder.Write("text.exe", "not a program");
  Win32VersionInfo versions;
  struct Case {
    std::string path;
    bool has_version;
  } cases[] = {
      {ProgramPath(), true},
      {folder / "text.exe", false},
      {folder / "missing.exe", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const uint32_t size = versions.GetFileVersionInfoSize(c.path);
    EXPECT_EQ(size > 0, c.has_version);
    if (!c.has_version) continue;
    std::string block(size, '\0');
    auto* buffer = reinterpret_cast<uint8_t*>(block.data());
    ASSERT_TRUE(versions.GetFileVersionInfo(c.path, size, buffer));
    const uint8_t* value = nullptr;
    uint32_t length = 0;
    ASSERT_TRUE(versions.VerQueryValueRoot(buffer, size, &value, &length));
    ASSERT_EQ(length, sizeof(FixedFileInfo));
    FixedFileInfo fixed;
    std::memcpy(&fixed, value, sizeof(fixed));
    EXPECT_EQ(fixed.signature, 0xFEEF04BDu);
    EXPECT_EQ(fixed.file_version_ms, 0x00010002u);
    EXPECT_EQ(fixed.file_version_ls, 0x00030004u);
    EXPECT_EQ(fixed.product_version_ms, 0x00050006u);
    EXPECT_EQ(fixed.product_version_ls, 0x00070008u);
  }
}

TEST(Win32RestartTest, ThePrivilegeStepsSetTheLastError) {
  Win32Restart restart;
  restart.SetLastError(1234);
  EXPECT_EQ(restart.GetLastError(), 1234u);

  Luid luid;
  EXPECT_FALSE(restart.LookupPrivilegeValue("", "SeNoSuchPrivilege", &luid));
  EXPECT_EQ(restart.GetLastError(), 1313u);  // ERROR_NO_SUCH_PRIVILEGE
  ASSERT_TRUE(restart.LookupPrivilegeValue("", "SeShutdownPrivilege", &luid));
  EXPECT_NE(luid.low_part, 0u);

  Handle token = 0;
  ASSERT_TRUE(restart.OpenProcessToken(restart.GetCurrentProcess(),
                                       kTokenAdjustPrivileges | kTokenQuery, &token));
  TokenPrivileges wanted;
  wanted.privilege_count = 1;
  wanted.luid = luid;
  wanted.attributes = kSePrivilegeEnabled;
  // Asked as the restart asks: the previous state into a record of one entry.
  TokenPrivileges previous;
  uint32_t length = 0;
  restart.SetLastError(1234);
  EXPECT_TRUE(
      restart.AdjustTokenPrivileges(token, false, wanted, sizeof(previous), &previous, &length));
  EXPECT_EQ(restart.GetLastError(), 0u);  // every privilege asked for was assigned
  EXPECT_LE(length, sizeof(previous));
  // The previous state names the privilege asked for, if it changed it.
  ASSERT_LE(previous.privilege_count, 1u);
  if (previous.privilege_count == 1) {
    EXPECT_EQ(previous.luid.low_part, luid.low_part);
  }
}

}  // namespace
}  // namespace qv::win32
