// ExpandCompressedFile: has the platform's expansion component unpack a
// ".cmp" archive into the temp folder, then deletes the archive.
//
// The archive is deleted only after an expansion that went through whole and
// produced the file the archive is named after ("x.dll.cmp" must yield
// "x.dll"); otherwise the archive stays where it is, so that it can be looked
// at, and the caller learns of the failure from the result and leaves the
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

// A copy of the expected file that is already in the temp folder (one left
// there as the source of a replacement at the next start, say) is moved
// aside while the archive is expanded, so that only the archive can make the
// file appear. Unless Discard() is called, it is moved back.
class StagedCopyAside {
 public:
  StagedCopyAside(FileSystem& files, std::string path)
      : files_(files), path_(std::move(path)) {
    if (path_.empty() || !IsFile(files_, path_)) return;
    for (int n = 0; n < 100; ++n) {
      const std::string aside = path_ + ".qvprev" + std::to_string(n);
      uint32_t attributes = 0;
      if (files_.GetFileAttributes(aside, &attributes).ok()) continue;
      ok_ = files_.MoveFile(path_, aside).ok();
      if (ok_) aside_ = aside;
      return;
    }
    ok_ = false;
  }

  ~StagedCopyAside() {
    if (!aside_.empty()) files_.MoveFileEx(aside_, path_, kMoveFileReplaceExisting);
  }

  StagedCopyAside(const StagedCopyAside&) = delete;
  StagedCopyAside& operator=(const StagedCopyAside&) = delete;

  // False when a copy was there and could not be moved aside.
  bool ok() const { return ok_; }

  // The new file stays; the old copy is deleted (the result is not examined).
  void Discard() {
    if (!aside_.empty()) files_.DeleteFile(aside_);
    aside_.clear();
  }

 private:
  FileSystem& files_;
  std::string path_;
  std::string aside_;
  bool ok_ = true;
};

}  // namespace

bool ExpandCompressedFile(const std::string& compressed_path) {
  Platform& platform = CurrentPlatform();
  if (!platform.new_expander || platform.files == nullptr) return false;
  FileSystem& files = *platform.files;

  const std::string expected = ExpandedFileName(compressed_path);
  const std::string expected_path = expected.empty() ? "" : gsDirTemp + "\\" + expected;
  StagedCopyAside previous(files, expected_path);
  if (!previous.ok()) return false;

  std::unique_ptr<Expander> expander = platform.new_expander();
  if (!expander) return false;
  if (!expander->SetDestination(gsDirTemp).ok()) return false;
  if (!expander->SetArchive(compressed_path).ok()) return false;
  int32_t files_written = 0;  // the count is not looked at
  if (!expander->Expand(&files_written).ok()) return false;
  if (!expected_path.empty() && !IsFile(files, expected_path)) return false;

  previous.Discard();
  files.DeleteFile(compressed_path);
  return true;
}

}  // namespace qv
