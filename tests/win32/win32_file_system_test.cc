// Files and folders through the wide calls under Wine: contents, attributes,
// listings, short and long names, delayed moves and the error codes of each
// failure, including files held open.
#include "platform/win32/win32_file_system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32/win32_registry.h"
#include "tests/win32/win32_test_support.h"

namespace qv::win32 {
namespace {

class Win32FileSystemTest : public testing::Test {
 protected:
  void SetUp() override {
    folder_.Write("a.txt", "alpha");
    ASSERT_TRUE(files_.CreateDirectory(folder_ / "sub").ok());
    folder_.Write("sub\\inner.txt", "inner");
  }

  std::string Read(const std::string& path) {
    std::string contents;
    const Status read = ReadFileToString(files_, path, &contents);
    EXPECT_TRUE(read.ok()) << read.ToString();
    return contents;
  }

  ScratchFolder folder_;
  Win32FileSystem files_;
};

TEST_F(Win32FileSystemTest, FailuresCarryTheWindowsCode) {
  std::unique_ptr<WritableFile> held;
  ASSERT_TRUE(files_.NewWritableFile(folder_ / "held.txt", OpenMode::kCreateAlways, &held).ok());
  std::unique_ptr<WritableFile> writer;
  std::unique_ptr<RandomAccessFile> reader;
  uint32_t attributes = 0;
  const std::string a = folder_ / "a.txt";
  const std::string inner = folder_ / "sub\\inner.txt";
  const std::string missing = folder_ / "missing";
  struct Case {
    const char* what;
    Status result;
    uint32_t expected;
  } cases[] = {
      {"create an existing folder", files_.CreateDirectory(folder_ / "sub"), kErrorAlreadyExists},
      {"create a folder over a file", files_.CreateDirectory(a), kErrorAlreadyExists},
      {"create below a missing folder", files_.CreateDirectory(missing + "\\x"),
       kErrorPathNotFound},
      {"remove a missing folder", files_.RemoveDirectory(missing), kErrorFileNotFound},
      {"remove a folder with files", files_.RemoveDirectory(folder_ / "sub"), kErrorDirNotEmpty},
      {"delete a missing file", files_.DeleteFile(missing), kErrorFileNotFound},
      {"attributes of a missing file", files_.GetFileAttributes(missing, &attributes),
       kErrorFileNotFound},
      {"copy a missing file", files_.CopyFile(missing, folder_ / "b.txt", false),
       kErrorFileNotFound},
      {"copy onto a file kept", files_.CopyFile(a, inner, true), kErrorFileExists},
      {"move onto an existing file", files_.MoveFile(a, inner), kErrorAlreadyExists},
      {"delete a file held open", files_.DeleteFile(folder_ / "held.txt"), kErrorSharingViolation},
      {"move a file held open", files_.MoveFile(folder_ / "held.txt", folder_ / "moved.txt"),
       kErrorSharingViolation},
      {"write a file held open",
       files_.NewWritableFile(folder_ / "held.txt", OpenMode::kAppend, &writer),
       kErrorSharingViolation},
      {"read a file held open", files_.NewRandomAccessFile(folder_ / "held.txt", &reader),
       kErrorSharingViolation},
      {"read a missing file", files_.NewRandomAccessFile(missing, &reader), kErrorFileNotFound},
  };
  for (const Case& c : cases) EXPECT_EQ(c.result.code(), c.expected) << c.what;
  EXPECT_EQ(writer, nullptr);
  EXPECT_EQ(reader, nullptr);
  // Once closed the file may go.
  ASSERT_TRUE(held->Close().ok());
  EXPECT_FALSE(held->Close().ok());
  EXPECT_TRUE(files_.DeleteFile(folder_ / "held.txt").ok());
}

TEST_F(Win32FileSystemTest, ContentsAreWrittenAppendedCopiedAndRead) {
  const std::string path = folder_ / "log.txt";
  for (const char* piece : {"one ", "two ", "three"}) {
    std::unique_ptr<WritableFile> file;
    ASSERT_TRUE(files_.NewWritableFile(path, OpenMode::kAppend, &file).ok());
    ASSERT_TRUE(file->Append(piece, std::string(piece).size()).ok());
  }
  EXPECT_EQ(Read(path), "one two three");
  uint64_t size = 0;
  ASSERT_TRUE(files_.GetFileSize(path, &size).ok());
  EXPECT_EQ(size, 13u);

  std::unique_ptr<RandomAccessFile> file;
  ASSERT_TRUE(files_.NewRandomAccessFile(path, &file).ok());
  struct Case {
    uint64_t offset;
    size_t n;
    std::string expected;
  } cases[] = {{0, 3, "one"}, {4, 3, "two"}, {8, 100, "three"}, {13, 4, ""}, {50, 4, ""}};
  for (const Case& c : cases) {
    std::string scratch(c.n, '\0');
    size_t read = 0;
    ASSERT_TRUE(file->Read(c.offset, c.n, reinterpret_cast<uint8_t*>(scratch.data()), &read).ok());
    EXPECT_EQ(scratch.substr(0, read), c.expected) << c.offset;
  }

  // kCreateAlways starts over once the reader is gone; copies and moves
  // carry the contents.
  file.reset();
  folder_.Write("log.txt", "new");
  ASSERT_TRUE(files_.CopyFile(path, folder_ / "a.txt", false).ok());
  ASSERT_TRUE(files_.MoveFileEx(path, folder_ / "sub\\inner.txt", kMoveFileReplaceExisting).ok());
  EXPECT_EQ(Read(folder_ / "a.txt"), "new");
  EXPECT_EQ(Read(folder_ / "sub\\inner.txt"), "new");
  uint32_t attributes = 0;
  EXPECT_EQ(files_.GetFileAttributes(path, &attributes).code(), kErrorFileNotFound);
}

TEST_F(Win32FileSystemTest, AttributesListingsAndNames) {
  const std::string a = folder_ / "a.txt";
  ASSERT_TRUE(files_.SetFileAttributes(a, kFileAttributeReadOnly).ok());
  uint32_t attributes = 0;
  ASSERT_TRUE(files_.GetFileAttributes(a, &attributes).ok());
  EXPECT_EQ(attributes & (kFileAttributeReadOnly | kFileAttributeDirectory),
            kFileAttributeReadOnly);
  EXPECT_EQ(files_.DeleteFile(a).code(), kErrorAccessDenied);

  folder_.Write("B.txt", "");
  folder_.Write("\xCE\xA9.txt", "");  // omega: kept whole, whatever the code page
  ASSERT_TRUE(files_.CreateDirectory(folder_ / "A Long Folder Name").ok());
  std::vector<DirEntry> entries;
  ASSERT_TRUE(files_.ListDirectory(folder_.path(), &entries).ok());
  std::vector<std::string> listed;
  for (const DirEntry& entry : entries) {
    listed.push_back(entry.name + (entry.is_directory ? "\\" : ""));
  }
  EXPECT_EQ(listed, (std::vector<std::string>{"A Long Folder Name\\", "a.txt", "B.txt", "sub\\",
                                              "\xCE\xA9.txt"}));
  EXPECT_EQ(files_.ListDirectory(folder_ / "missing", &entries).code(), kErrorPathNotFound);

  const std::string long_path = folder_ / "A Long Folder Name";
  std::string short_path;
  ASSERT_TRUE(files_.GetShortPathName(long_path, &short_path).ok());
  EXPECT_EQ(short_path.find(' '), std::string::npos) << short_path;
  std::string back;
  ASSERT_TRUE(files_.GetLongPathName(short_path, &back).ok());
  EXPECT_EQ(back, long_path);
  EXPECT_EQ(files_.GetShortPathName(folder_ / "missing", &short_path).code(), kErrorFileNotFound);

  const std::vector<char> drives = files_.Drives();
  EXPECT_NE(std::find(drives.begin(), drives.end(), 'C'), drives.end());
  ASSERT_TRUE(files_.GetFileAttributes(files_.GetCurrentDirectory(), &attributes).ok());
  EXPECT_NE(attributes & kFileAttributeDirectory, 0u);
}

TEST_F(Win32FileSystemTest, DelayedMovesAreRecordedForTheNextStart) {
  const std::string moved = folder_ / "a.txt";
  const std::string deleted = folder_ / "sub\\inner.txt";
  ASSERT_TRUE(files_.MoveFileEx(moved, folder_ / "later.txt", kMoveFileDelayUntilReboot).ok());
  ASSERT_TRUE(files_.MoveFileEx(deleted, "", kMoveFileDelayUntilReboot).ok());
  EXPECT_EQ(Read(moved), "alpha");  // both still where they were
  EXPECT_EQ(Read(deleted), "inner");

  Win32Registry registry;
  RegHandle key = 0;
  ASSERT_EQ(
      registry.OpenKeyEx(kHkeyLocalMachine, "System\\CurrentControlSet\\Control\\Session Manager",
                         0, kKeyRead, &key),
      0u);
  uint32_t type = 0;
  uint32_t size = 0;
  ASSERT_EQ(
      registry.QueryValueEx(key, "PendingFileRenameOperations", nullptr, &type, nullptr, &size),
      0u);
  std::string pending(size, '\0');
  ASSERT_EQ(registry.QueryValueEx(key, "PendingFileRenameOperations", nullptr, &type,
                                  reinterpret_cast<uint8_t*>(pending.data()), &size),
            0u);
  registry.CloseKey(key);
  EXPECT_EQ(type, kRegMultiSz);
  // Pairs of "\??\from" and "\??\to" ("!" first when replacing), or "" for a delete.
  const std::string zero(1, '\0');
  EXPECT_NE(pending.find("\\??\\" + moved + zero + "\\??\\" + (folder_ / "later.txt") + zero),
            std::string::npos);
  EXPECT_NE(pending.find("\\??\\" + deleted + zero + zero), std::string::npos);
}

}  // namespace
}  // namespace qv::win32
