// Helpers shared by every FileSystem backend.
#include "platform/file_system.h"

#include <atomic>
#include <chrono>

namespace qv {

Status ReadFileToString(FileSystem& files, const std::string& path,
                        std::string* contents) {
  contents->clear();
  std::unique_ptr<RandomAccessFile> file;
  Status s = files.NewRandomAccessFile(path, &file);
  if (!s.ok()) return s;
  const uint64_t size = file->Size();
  contents->resize(size);
  uint64_t offset = 0;
  while (offset < size) {
    size_t got = 0;
    s = file->Read(offset, size - offset,
                   reinterpret_cast<uint8_t*>(contents->data()) + offset, &got);
    if (!s.ok()) return s;
    if (got == 0) break;
    offset += got;
  }
  contents->resize(offset);
  return Status::OK();
}

Status WriteFileAtomically(FileSystem& files, const std::string& path,
                           const std::string& contents) {
  return WriteFileAtomically(files, path, [&](WritableFile& file) {
    return file.Append(contents.data(), contents.size());
  });
}

Status WriteFileAtomically(FileSystem& files, const std::string& path,
                           const std::function<Status(WritableFile&)>& write) {
  static std::atomic<unsigned> counter{0};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  const std::string temp = path + ".tmp" + std::to_string(stamp % 100000) +
                           "_" + std::to_string(counter++);
  {
    std::unique_ptr<WritableFile> file;
    Status s = files.NewWritableFile(temp, OpenMode::kCreateAlways, &file);
    if (!s.ok()) return s;
    s = write(*file);
    if (s.ok()) s = file->Close();
    if (!s.ok()) {
      file.reset();
      files.DeleteFile(temp);
      return s;
    }
  }
  Status s = files.MoveFileEx(temp, path, kMoveFileReplaceExisting);
  if (!s.ok()) files.DeleteFile(temp);
  return s;
}

}  // namespace qv
