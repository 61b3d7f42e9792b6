// The Windows tests' shared pieces and their main: "--exit-code N" makes the
// program end at once with N (the process tests start it so); otherwise it
// runs the tests.
#include "tests/win32/win32_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "platform/win32/win32_wide_text.h"
#include "platform/win32/windows_api.h"

namespace qv::win32 {
namespace {

void RemoveTree(FileSystem& files, const std::string& path) {
  std::vector<DirEntry> entries;
  if (files.ListDirectory(path, &entries).ok()) {
    for (const DirEntry& entry : entries) {
      const std::string child = path + "\\" + entry.name;
      files.SetFileAttributes(child, kFileAttributeNormal);
      if (entry.is_directory) {
        RemoveTree(files, child);
      } else {
        files.DeleteFile(child);
      }
    }
  }
  files.RemoveDirectory(path);
}

}  // namespace

std::string ProgramPath() {
  std::wstring path(MAX_PATH, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return WideToUtf8(path);
}

ScratchFolder::ScratchFolder() {
  wchar_t temp[MAX_PATH];
  const DWORD length = GetTempPathW(MAX_PATH, temp);
  static int count = 0;
  path_ = WideToUtf8(std::wstring(temp, length)) + "qv win32 test " +
          std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++count);
  const Status created = files_.CreateDirectory(path_);
  EXPECT_TRUE(created.ok()) << created.ToString();
}

ScratchFolder::~ScratchFolder() { RemoveTree(files_, path_); }

void ScratchFolder::Write(const std::string& name, const std::string& contents) {
  std::unique_ptr<WritableFile> file;
  ASSERT_TRUE(files_.NewWritableFile(*this / name, OpenMode::kCreateAlways, &file).ok());
  ASSERT_TRUE(file->Append(contents.data(), contents.size()).ok());
  ASSERT_TRUE(file->Close().ok());
}

}  // namespace qv::win32

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--exit-code") == 0) return std::atoi(argv[2]);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
