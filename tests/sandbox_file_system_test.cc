// The machine's files and folders: what each operation refuses and what it
// leaves behind, with Windows' error codes.
#include "platform/sandbox/sandbox_file_system.h"

#include <gtest/gtest.h>

#include "platform/posix/iconv_text_codec.h"
#include "platform/sandbox/sandbox_registry.h"
#include "platform/sandbox/sandbox_system_info.h"
#include "tests/test_util.h"

namespace qv {
namespace {

using sandbox::Family;
using testing::TestMachine;

class FileSystemTest : public ::testing::Test {
 protected:
  FileSystem& files() { return *m_.platform().files; }
  TestMachine m_;
};

TEST_F(FileSystemTest, CreateDirectoryMakesOneLevel) {
  EXPECT_EQ(files().CreateDirectory("C:\\a\\b").code(), kErrorPathNotFound);
  EXPECT_TRUE(files().CreateDirectory("C:\\a").ok());
  EXPECT_TRUE(files().CreateDirectory("C:\\A\\b").ok());
  EXPECT_EQ(files().CreateDirectory("c:\\a\\B").code(), kErrorAlreadyExists);
  EXPECT_EQ(files().CreateDirectory("C:\\").code(), kErrorAlreadyExists);
  EXPECT_EQ(files().CreateDirectory("").code(), kErrorPathNotFound);
  EXPECT_EQ(files().CreateDirectory("C:\\bad|name").code(), kErrorInvalidName);
  uint32_t attributes = 0;
  ASSERT_TRUE(files().GetFileAttributes("C:\\a\\b", &attributes).ok());
  EXPECT_TRUE(attributes & kFileAttributeDirectory);
  EXPECT_EQ(files().RemoveDirectory("C:\\a").code(), kErrorDirNotEmpty);
  EXPECT_TRUE(files().RemoveDirectory("C:\\a\\b").ok());
  EXPECT_TRUE(files().RemoveDirectory("C:\\a").ok());
  EXPECT_FALSE(m_.Exists("C:\\a"));
}

TEST_F(FileSystemTest, MoveRefusesAnExistingTargetUnlessAskedToReplace) {
  m_.WriteFile("C:\\Temp\\new.dll", "new");
  m_.WriteFile("C:\\Target\\x.dll", "old");
  EXPECT_EQ(files().MoveFile("C:\\Temp\\new.dll", "C:\\Target\\x.dll").code(), kErrorAlreadyExists);
  EXPECT_EQ(m_.ReadFile("C:\\Target\\x.dll"), "old");
  EXPECT_TRUE(
      files().MoveFileEx("C:\\Temp\\new.dll", "C:\\target\\X.DLL", kMoveFileReplaceExisting).ok());
  EXPECT_EQ(m_.ReadFile("C:\\Target\\x.dll"), "new");
  EXPECT_FALSE(m_.Exists("C:\\Temp\\new.dll"));
  EXPECT_EQ(files().MoveFile("C:\\Temp\\gone.dll", "C:\\Target\\y.dll").code(), kErrorFileNotFound);
  EXPECT_EQ(files().MoveFile("C:\\Target\\x.dll", "C:\\Nowhere\\x.dll").code(), kErrorPathNotFound);
}

TEST_F(FileSystemTest, AMoveFromOrOntoADriveRootIsRefused) {
  // A pending rename of "\\??\\C:" onto itself once read past the end of
  // the root's (empty) list of names.
  m_.WriteFile("C:\\App\\x.dll", "x");
  struct Case {
    const char* from;
    const char* to;
    uint32_t flags;
  };
  const Case cases[] = {
      {"C:", "C:", 0},
      {"C:\\", "c:\\", kMoveFileReplaceExisting},
      {"C:\\", "C:\\Moved", 0},
      {"C:\\App", "C:", 0},
      {"C:\\App\\x.dll", "C:\\", kMoveFileReplaceExisting},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(files().MoveFileEx(c.from, c.to, c.flags).code(), kErrorAccessDenied)
        << c.from << " -> " << c.to;
  }
  EXPECT_EQ(m_.ReadFile("C:\\App\\x.dll"), "x");
  EXPECT_FALSE(m_.Exists("C:\\Moved"));
}

TEST_F(FileSystemTest, ReadOnlyFilesKeepTheirContentUntilMadeNormal) {
  m_.WriteFile("C:\\App\\x.dll", "old");
  m_.WriteFile("C:\\Temp\\x.dll", "new");
  ASSERT_TRUE(files().SetFileAttributes("C:\\App\\x.dll", kFileAttributeReadOnly).ok());
  uint32_t attributes = 0;
  ASSERT_TRUE(files().GetFileAttributes("C:\\App\\x.dll", &attributes).ok());
  EXPECT_EQ(attributes, kFileAttributeReadOnly);
  EXPECT_EQ(files().DeleteFile("C:\\App\\x.dll").code(), kErrorAccessDenied);
  EXPECT_EQ(
      files().MoveFileEx("C:\\Temp\\x.dll", "C:\\App\\x.dll", kMoveFileReplaceExisting).code(),
      kErrorAccessDenied);
  std::unique_ptr<WritableFile> w;
  EXPECT_EQ(files().NewWritableFile("C:\\App\\x.dll", OpenMode::kCreateAlways, &w).code(),
            kErrorAccessDenied);
  EXPECT_EQ(m_.ReadFile("C:\\App\\x.dll"), "old");

  // The attribute travels with a move and goes with a delete.
  ASSERT_TRUE(files().MoveFile("C:\\App\\x.dll", "C:\\App\\y.dll").ok());
  ASSERT_TRUE(files().GetFileAttributes("C:\\App\\y.dll", &attributes).ok());
  EXPECT_EQ(attributes, kFileAttributeReadOnly);
  ASSERT_TRUE(files().SetFileAttributes("C:\\App\\y.dll", kFileAttributeNormal).ok());
  EXPECT_TRUE(files().DeleteFile("C:\\App\\y.dll").ok());
  m_.WriteFile("C:\\App\\y.dll", "again");
  ASSERT_TRUE(files().GetFileAttributes("C:\\App\\y.dll", &attributes).ok());
  EXPECT_EQ(attributes, kFileAttributeNormal);
}

TEST_F(FileSystemTest, CopyKeepsTheSourceAndHonoursFailIfExists) {
  m_.WriteFile("C:\\Share\\list.rst", "list");
  EXPECT_TRUE(files().CopyFile("C:\\Share\\list.rst", "C:\\Temp2.rst", true).ok());
  EXPECT_EQ(files().CopyFile("C:\\Share\\list.rst", "C:\\Temp2.rst", true).code(),
            kErrorFileExists);
  m_.WriteFile("C:\\Share\\list.rst", "list v2");
  EXPECT_TRUE(files().CopyFile("C:\\Share\\list.rst", "C:\\Temp2.rst", false).ok());
  EXPECT_EQ(m_.ReadFile("C:\\Temp2.rst"), "list v2");
  EXPECT_EQ(m_.ReadFile("C:\\Share\\list.rst"), "list v2");
}

TEST_F(FileSystemTest, WritableFilesTruncateOrAppend) {
  {
    std::unique_ptr<WritableFile> w;
    ASSERT_TRUE(files().NewWritableFile("C:\\log.txt", OpenMode::kCreateAlways, &w).ok());
    ASSERT_TRUE(w->Append("first\r\n", 7).ok());
  }
  {
    std::unique_ptr<WritableFile> w;
    ASSERT_TRUE(files().NewWritableFile("C:\\LOG.TXT", OpenMode::kAppend, &w).ok());
    ASSERT_TRUE(w->Append("second\r\n", 8).ok());
    // Held without sharing while open, by this program too: in use.
    std::unique_ptr<RandomAccessFile> r;
    EXPECT_EQ(files().NewRandomAccessFile("C:\\log.txt", &r).code(), kErrorSharingViolation);
    EXPECT_EQ(files().DeleteFile("C:\\log.txt").code(), kErrorSharingViolation);
    ASSERT_TRUE(w->Close().ok());
    EXPECT_FALSE(w->Append("x", 1).ok());
  }
  EXPECT_EQ(m_.ReadFile("C:\\log.txt"), "first\r\nsecond\r\n");
  {
    std::unique_ptr<WritableFile> w;
    ASSERT_TRUE(files().NewWritableFile("C:\\log.txt", OpenMode::kCreateAlways, &w).ok());
  }
  uint64_t size = 99;
  ASSERT_TRUE(files().GetFileSize("C:\\log.txt", &size).ok());
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(files().GetFileSize("C:\\none.txt", &size).code(), kErrorFileNotFound);
}

// Writing a whole file in place (WriteFileAtomically) is RecordsetFileTest's:
// a saved list replaces the old one, or leaves it and no temporary.
TEST_F(FileSystemTest, ListDirectorySortsWithoutRegardToCase) {
  m_.WriteFile("C:\\d\\b.txt", "");
  m_.WriteFile("C:\\d\\A.txt", "");
  ASSERT_TRUE(files().CreateDirectory("C:\\d\\c").ok());
  std::vector<DirEntry> entries;
  ASSERT_TRUE(files().ListDirectory("C:\\D", &entries).ok());
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].name, "A.txt");
  EXPECT_EQ(entries[1].name, "b.txt");
  EXPECT_EQ(entries[2].name, "c");
  EXPECT_TRUE(entries[2].is_directory);
  EXPECT_EQ(files().Drives(), std::vector<char>{'C'});
}

TEST_F(FileSystemTest, ShortPathOfAMissingFileFails) {
  std::string s;
  EXPECT_EQ(files().GetShortPathName("C:\\Program Files\\missing.dll", &s).code(),
            kErrorFileNotFound);
  EXPECT_EQ(files().GetShortPathName("C:\\No Folder\\missing.dll", &s).code(), kErrorPathNotFound);
}

TEST(DelayedMoveTest, NtRecordsPendingRenamesInTheRegistry) {
  TestMachine m(Family::kNt);
  m.WriteFile("C:\\Program Files\\Ostrel\\Quillmark\\Temp\\a.dll", "a");
  FileSystem& files = *m.platform().files;
  const uint32_t flags = kMoveFileReplaceExisting | kMoveFileDelayUntilReboot;
  ASSERT_TRUE(files
                  .MoveFileEx("C:\\Program Files\\Ostrel\\Quillmark\\Temp\\a.dll",
                              "C:\\Windows\\System32\\a.dll", flags)
                  .ok());
  ASSERT_TRUE(files.MoveFileEx("C:\\x.tmp", "", kMoveFileDelayUntilReboot).ok());
  // Nothing moved yet.
  EXPECT_TRUE(m.Exists("C:\\Program Files\\Ostrel\\Quillmark\\Temp\\a.dll"));
  EXPECT_FALSE(m.Exists("C:\\Windows\\System32\\a.dll"));

  uint32_t type = 0;
  EXPECT_EQ(testing::RegValue(*m.platform().registry, kHkeyLocalMachine,
                              sandbox::kSessionManagerKey, sandbox::kPendingRenamesValue, &type),
            std::string("\\??\\C:\\Program Files\\Ostrel\\Quillmark\\Temp\\a.dll") + '\0' +
                "!\\??\\C:\\Windows\\System32\\a.dll" + '\0' + "\\??\\C:\\x.tmp" + '\0' + '\0' +
                '\0');
  EXPECT_EQ(type, kRegMultiSz);
}

TEST(DelayedMoveTest, NineXFamilyHasNoneAndARestrictedUserMayNotScheduleThem) {
  TestMachine old(Family::k9x), restricted(Family::kNt, /*admin=*/false);
  for (TestMachine* m : {&old, &restricted}) {
    m->WriteFile("C:\\Temp\\a.dll", "a");
    EXPECT_EQ(
        m->platform()
            .files->MoveFileEx("C:\\Temp\\a.dll", "C:\\Temp\\b.dll", kMoveFileDelayUntilReboot)
            .code(),
        m == &old ? sandbox::kErrorCallNotImplemented : kErrorAccessDenied);
  }
}

TEST(SystemInfoTest, FamilyFoldersAndBufferRules) {
  TestMachine nt(Family::kNt);
  SystemInfo& sys = *nt.platform().system;
  EXPECT_EQ(sys.GetVersion() & 0x80000000u, 0u);
  OsVersionInfo info;
  EXPECT_FALSE(sys.GetVersionEx(&info)) << "the size field must be set";
  info.os_version_info_size = 148;
  ASSERT_TRUE(sys.GetVersionEx(&info));
  EXPECT_EQ(info.platform_id, kVerPlatformWin32Nt);

  char buffer[255];
  std::fill(std::begin(buffer), std::end(buffer), '\0');
  EXPECT_EQ(sys.GetSystemDirectory(buffer, 255), 19u);
  EXPECT_STREQ(buffer, "C:\\Windows\\System32");
  char tiny[5] = "abcd";
  EXPECT_EQ(sys.GetWindowsDirectory(tiny, 5), 11u) << "the size needed, zero included";
  EXPECT_STREQ(tiny, "abcd") << "nothing written when it does not fit";

  TestMachine old(Family::k9x);
  EXPECT_NE(old.platform().system->GetVersion() & 0x80000000u, 0u);
  info.os_version_info_size = 148;
  ASSERT_TRUE(old.platform().system->GetVersionEx(&info));
  EXPECT_EQ(info.platform_id, kVerPlatformWin32Windows);
  EXPECT_EQ(old.platform().system->AnsiCodePage(), 1252u);
}

TEST(TextCodecTest, RoundTripsThroughTheCodePage) {
  IconvTextCodec cp1252(1252);
  EXPECT_EQ(cp1252.ToAnsi("Caf\xC3\xA9"), "Caf\xE9");
  EXPECT_EQ(cp1252.FromAnsi("Caf\xE9"), "Caf\xC3\xA9");
  EXPECT_EQ(cp1252.ToAnsi("\xE2\x82\xAC"), "\x80") << "the euro sign";
  EXPECT_EQ(cp1252.ToAnsi("\xE4\xB8\xAD"), "?") << "characters the page lacks";
  IconvTextCodec fallback(4242);
  EXPECT_EQ(fallback.code_page(), 1252u);
}

}  // namespace
}  // namespace qv
