// The atomic writer of host files: what a reader finds after a write that
// succeeded, after one that failed, and what is left beside the file.
#include "platform/posix/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "tests/test_util.h"

namespace qv {
namespace {

mode_t CurrentUmask() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

struct Case {
  const char* name;
  const char* old_content;  // nullptr: no file there yet
  mode_t old_mode;
  mode_t mode;         // asked of the writer
  const char* writes;  // nullptr: produce fails half-way (ENOSPC)
  bool folder_read_only;
  uint32_t code;        // of the Status
  const char* content;  // found afterwards; nullptr: no file
};

constexpr Case kCases[] = {
    {"new file", nullptr, 0, 0640, "new", false, kErrorSuccess, "new"},
    {"replaced file takes the mode asked", "old", 0600, 0755, "new", false, kErrorSuccess, "new"},
    {"replaced by nothing", "old", 0644, 0644, "", false, kErrorSuccess, ""},
    {"failing produce keeps the old file", "old", 0600, 0644, nullptr, false, kErrorDiskFull,
     "old"},
    {"failing produce makes no file", nullptr, 0, 0644, nullptr, false, kErrorDiskFull, nullptr},
    {"folder that cannot be written", "old", 0644, 0644, "new", true, kErrorAccessDenied, "old"},
};

TEST(AtomicFileTest, ReplacesWholeOrLeavesTheOldFile) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    if (c.folder_read_only && ::geteuid() == 0) continue;  // root ignores the bits
    const std::string dir = testing::MakeTempDir("qvatomic");
    const std::string path = dir + "/target.dat";
    if (c.old_content != nullptr) {
      testing::WriteHostFile(path, c.old_content);
      ASSERT_EQ(::chmod(path.c_str(), c.old_mode), 0);
    }
    if (c.folder_read_only) {
      ASSERT_EQ(::chmod(dir.c_str(), 0555), 0);
    }

    const Status status = ReplaceFileAtomically(path, c.mode, [&c](int fd) {
      if (c.writes != nullptr) {
        const size_t size = std::strlen(c.writes);
        return ::write(fd, c.writes, size) == static_cast<ssize_t>(size);
      }
      EXPECT_EQ(::write(fd, "partial", 7), 7);
      errno = ENOSPC;
      return false;
    });
    ::chmod(dir.c_str(), 0755);

    EXPECT_EQ(status.code(), c.code) << status.ToString();
    if (!status.ok()) {
      EXPECT_NE(status.message().find(path), std::string::npos);
    }
    if (c.content == nullptr) {
      EXPECT_TRUE(testing::HostNames(dir).empty());
    } else {
      EXPECT_EQ(testing::HostNames(dir), std::vector<std::string>{"target.dat"});
      EXPECT_EQ(testing::ReadHostFile(path), c.content);
    }
    struct stat st;
    if (status.ok() && ::stat(path.c_str(), &st) == 0) {
      EXPECT_EQ(st.st_mode & 07777, c.mode & ~CurrentUmask());
    }
    testing::RemoveTree(dir);
  }
}

}  // namespace
}  // namespace qv
