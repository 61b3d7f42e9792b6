// ExpandCompressedFile: has the platform's expansion component unpack a
// ".cmp" archive into the temp folder, then deletes the archive.
//
// Only the file the archive is named after is taken from it ("x.dll.cmp"
// yields "x.dll"; other entries are never written), and the component puts
// it in place only when the whole expansion went through, so a failed
// expansion leaves the temp folder as it was, a staged copy of the same name
// included. The archive is deleted only after a successful expansion;
// otherwise it stays where it is, so that it can be looked at, and the
// caller learns of the failure and its reason from the result and leaves the
// installed target alone.
//
// Runs on the control's thread; keeps no state between calls.
#include <memory>
#include <string>

#include "install/modInstall.h"
#include "platform/platform.h"

namespace qv {
namespace {

constexpr char kCompressedSuffix[] = ".cmp";
constexpr size_t kCompressedSuffixLength = sizeof(kCompressedSuffix) - 1;

// The name of the file an archive is expected to hold: its own name without
// ".cmp" (any letter case). "" when the name does not end in ".cmp".
std::string ExpandedFileName(const std::string& compressed_path) {
  const size_t separator = compressed_path.find_last_of("\\/");
  const std::string name =
      separator == std::string::npos ? compressed_path : compressed_path.substr(separator + 1);
  if (name.size() <= kCompressedSuffixLength) return "";
  const std::string suffix = name.substr(name.size() - kCompressedSuffixLength);
  for (size_t i = 0; i < kCompressedSuffixLength; ++i) {
    const char c = suffix[i];
    const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower != kCompressedSuffix[i]) return "";
  }
  return name.substr(0, name.size() - kCompressedSuffixLength);
}

bool IsFile(FileSystem& files, const std::string& path) {
  uint32_t attributes = 0;
  return files.GetFileAttributes(path, &attributes).ok() &&
         !(attributes & kFileAttributeDirectory);
}

// Runs the component's calls in order; the first failure ends them.
Status Expand(Expander& expander, const std::string& compressed_path,
              const std::string& expected) {
  Status s = expander.SetDestination(gsDirTemp);
  if (s.ok()) s = expander.SetArchive(compressed_path);
  if (s.ok() && !expected.empty()) s = expander.SetOnlyEntry(expected);
  int32_t files_written = 0;  // the count is not looked at
  if (s.ok()) s = expander.Expand(&files_written);
  return s;
}

}  // namespace

bool ExpandCompressedFile(const std::string& compressed_path, std::string* reason) {
  std::string ignored;
  if (reason == nullptr) reason = &ignored;
  reason->clear();
  Platform& platform = CurrentPlatform();
  std::unique_ptr<Expander> expander =
      platform.new_expander && platform.files != nullptr ? platform.new_expander() : nullptr;
  if (!expander) {
    *reason = "this machine has no expansion component";
    return false;
  }
  const std::string expected = ExpandedFileName(compressed_path);
  const Status s = Expand(*expander, compressed_path, expected);
  if (!s.ok()) {
    *reason = s.message();
    return false;
  }
  if (!expected.empty() && !IsFile(*platform.files, gsDirTemp + "\\" + expected)) {
    *reason = "the archive did not yield " + expected;
    return false;
  }
  platform.files->DeleteFile(compressed_path);
  return true;
}

}  // namespace qv
