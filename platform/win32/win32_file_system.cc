// Win32FileSystem on CreateDirectoryW, RemoveDirectoryW, DeleteFileW,
// MoveFileExW, CopyFileW, the attribute calls, CreateFileW/ReadFile/WriteFile,
// the short and long path calls and FindFirstFileW/FindNextFileW.
#include "platform/win32/win32_file_system.h"

#include <algorithm>

#include "platform/win32/win32_handle.h"
#include "platform/win32/win32_last_error.h"
#include "platform/win32/win32_wide_text.h"
#include "platform/win32/windows_api.h"

namespace qv::win32 {
namespace {

class Win32WritableFile : public WritableFile {
 public:
  Win32WritableFile(KernelHandle file, std::string path)
      : file_(std::move(file)), path_(std::move(path)) {}

  Status Append(const void* data, size_t size) override {
    if (!file_.valid()) return Status::Error(ERROR_INVALID_HANDLE, path_ + " is closed");
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
      DWORD written = 0;
      if (!WriteFile(file_.get(), next, chunk, &written, nullptr)) {
        return LastError("write " + path_);
      }
      next += written;
      size -= written;
    }
    return Status::OK();
  }

  Status Close() override {
    if (!file_.valid()) return Status::Error(ERROR_INVALID_HANDLE, path_ + " is closed");
    const Status flushed = Check(FlushFileBuffers(file_.get()), "flush " + path_);
    const Status closed = Check(CloseHandle(file_.Release()), "close " + path_);
    return flushed.ok() ? closed : flushed;
  }

 private:
  KernelHandle file_;
  std::string path_;
};

class Win32RandomAccessFile : public RandomAccessFile {
 public:
  Win32RandomAccessFile(KernelHandle file, std::string path, uint64_t size)
      : file_(std::move(file)), path_(std::move(path)), size_(size) {}

  Status Read(uint64_t offset, size_t n, uint8_t* scratch, size_t* read) const override {
    *read = 0;
    while (n > 0 && offset < size_) {
      OVERLAPPED at{};
      at.Offset = static_cast<DWORD>(offset);
      at.OffsetHigh = static_cast<DWORD>(offset >> 32);
      DWORD got = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(n, 1u << 30));
      if (!ReadFile(file_.get(), scratch + *read, chunk, &got, &at)) {
        if (::GetLastError() == ERROR_HANDLE_EOF) break;
        return LastError("read " + path_);
      }
      if (got == 0) break;
      *read += got;
      offset += got;
      n -= got;
    }
    return Status::OK();
  }

  uint64_t Size() const override { return size_; }

 private:
  KernelHandle file_;
  std::string path_;
  uint64_t size_;
};

// A path call that fills a buffer and gives the length, or the size needed
// when the buffer is too small (GetShortPathNameW, GetLongPathNameW,
// GetCurrentDirectoryW's relatives).
template <typename Call>
Status FetchPath(Call call, const std::string& what, std::string* result) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = call(buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return LastError(what);
    if (length < buffer.size()) {
      buffer.resize(length);
      *result = WideToUtf8(buffer);
      return Status::OK();
    }
    buffer.resize(length);
  }
}

bool IsDotEntry(const wchar_t* name) { return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0; }

}  // namespace

Status Win32FileSystem::CreateDirectory(const std::string& path) {
  return Check(CreateDirectoryW(Utf8ToWide(path).c_str(), nullptr), "create folder " + path);
}

Status Win32FileSystem::RemoveDirectory(const std::string& path) {
  return Check(RemoveDirectoryW(Utf8ToWide(path).c_str()), "remove folder " + path);
}

Status Win32FileSystem::GetFileAttributes(const std::string& path, uint32_t* attributes) {
  const DWORD found = GetFileAttributesW(Utf8ToWide(path).c_str());
  if (found == INVALID_FILE_ATTRIBUTES) return LastError("attributes of " + path);
  *attributes = found;
  return Status::OK();
}

Status Win32FileSystem::SetFileAttributes(const std::string& path, uint32_t attributes) {
  return Check(SetFileAttributesW(Utf8ToWide(path).c_str(), attributes),
               "set attributes of " + path);
}

Status Win32FileSystem::DeleteFile(const std::string& path) {
  return Check(DeleteFileW(Utf8ToWide(path).c_str()), "delete " + path);
}

Status Win32FileSystem::MoveFile(const std::string& from, const std::string& to) {
  return MoveFileEx(from, to, 0);
}

Status Win32FileSystem::MoveFileEx(const std::string& from, const std::string& to, uint32_t flags) {
  const std::wstring target = Utf8ToWide(to);
  // An empty target with a delayed move deletes the file at the next start.
  return Check(MoveFileExW(Utf8ToWide(from).c_str(), to.empty() ? nullptr : target.c_str(), flags),
               "move " + from + " to " + to);
}

Status Win32FileSystem::CopyFile(const std::string& from, const std::string& to,
                                 bool fail_if_exists) {
  return Check(CopyFileW(Utf8ToWide(from).c_str(), Utf8ToWide(to).c_str(), fail_if_exists),
               "copy " + from + " to " + to);
}

Status Win32FileSystem::GetFileSize(const std::string& path, uint64_t* size) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(Utf8ToWide(path).c_str(), GetFileExInfoStandard, &data)) {
    return LastError("size of " + path);
  }
  *size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return Status::OK();
}

Status Win32FileSystem::NewWritableFile(const std::string& path, OpenMode mode,
                                        std::unique_ptr<WritableFile>* result) {
  result->reset();
  const bool append = mode == OpenMode::kAppend;
  KernelHandle file(CreateFileW(Utf8ToWide(path).c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE,
                                0, nullptr, append ? OPEN_ALWAYS : CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return LastError("open " + path + " for writing");
  *result = std::make_unique<Win32WritableFile>(std::move(file), path);
  return Status::OK();
}

Status Win32FileSystem::NewRandomAccessFile(const std::string& path,
                                            std::unique_ptr<RandomAccessFile>* result) {
  result->reset();
  KernelHandle file(CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return LastError("open " + path + " for reading");
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size)) return LastError("size of " + path);
  *result = std::make_unique<Win32RandomAccessFile>(std::move(file), path,
                                                    static_cast<uint64_t>(size.QuadPart));
  return Status::OK();
}

Status Win32FileSystem::GetShortPathName(const std::string& path, std::string* short_path) {
  const std::wstring wide = Utf8ToWide(path);
  // A path that does not exist has no short form. Asking for its attributes
  // answers that at once, where the short-name call would first list every
  // folder on the way (under Wine: a dozen server calls and a scan of the
  // last folder, for each file a run is about to fetch).
  if (GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES) {
    return LastError("short name of " + path);
  }
  return FetchPath(
      [&](wchar_t* buffer, DWORD size) { return GetShortPathNameW(wide.c_str(), buffer, size); },
      "short name of " + path, short_path);
}

Status Win32FileSystem::GetLongPathName(const std::string& path, std::string* long_path) {
  const std::wstring wide = Utf8ToWide(path);
  return FetchPath(
      [&](wchar_t* buffer, DWORD size) { return GetLongPathNameW(wide.c_str(), buffer, size); },
      "long name of " + path, long_path);
}

Status Win32FileSystem::ListDirectory(const std::string& path, std::vector<DirEntry>* entries) {
  entries->clear();
  std::wstring pattern = Utf8ToWide(path);
  if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/') pattern += L'\\';
  pattern += L'*';
  WIN32_FIND_DATAW found{};
  FindHandle find(FindFirstFileW(pattern.c_str(), &found));
  if (!find.valid()) {
    // A folder without entries (not even "." at a drive's root).
    if (::GetLastError() == ERROR_FILE_NOT_FOUND) return Status::OK();
    return LastError("list " + path);
  }
  do {
    if (IsDotEntry(found.cFileName)) continue;
    entries->push_back(
        {WideToUtf8(found.cFileName), (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
  } while (FindNextFileW(find.get(), &found));
  if (::GetLastError() != ERROR_NO_MORE_FILES) return LastError("list " + path);
  std::sort(entries->begin(), entries->end(), [](const DirEntry& a, const DirEntry& b) {
    const std::wstring left = Utf8ToWide(a.name);
    const std::wstring right = Utf8ToWide(b.name);
    return CompareStringOrdinal(left.c_str(), static_cast<int>(left.size()), right.c_str(),
                                static_cast<int>(right.size()), TRUE) == CSTR_LESS_THAN;
  });
  return Status::OK();
}

std::vector<char> Win32FileSystem::Drives() {
  std::vector<char> drives;
  const DWORD mask = GetLogicalDrives();
  for (int letter = 0; letter < 26; ++letter) {
    if (mask & (1u << letter)) drives.push_back(static_cast<char>('A' + letter));
  }
  return drives;
}

std::string Win32FileSystem::GetCurrentDirectory() {
  std::string folder;
  if (!FetchPath([](wchar_t* buffer, DWORD size) { return GetCurrentDirectoryW(size, buffer); },
                 "current folder", &folder)
           .ok()) {
    return {};
  }
  return folder;
}

}  // namespace qv::win32
