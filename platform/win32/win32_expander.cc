// Win32Expander: FDI reads the cabinet through the file system's files; the
// entries land in temporary files and are put in place at the end.
#include "platform/win32/win32_expander.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/entry_placement.h"
#include "platform/win32/win32_wide_text.h"
#include "platform/win32/windows_api.h"

namespace qv::win32 {
namespace {

constexpr uint64_t kMaxEntryBytes = uint64_t{512} << 20;
constexpr uint64_t kMaxOutputRatio = 100;
constexpr uint64_t kMinOutputBudget = uint64_t{16} << 20;

// Splits an entry name into its components; refuses a name that could reach
// outside the destination (absolute, a drive, "..", components of dots and
// blanks only, empty components).
Status SplitEntryName(const std::string& name, std::vector<std::string>* parts) {
  auto refuse = [&](const std::string& why) {
    return Status::Error(kErrorBadPathName, "the archive's entry \"" + name + "\" " + why);
  };
  parts->clear();
  if (name.empty()) return refuse("has no name");
  if (name[0] == '/' || name[0] == '\\') return refuse("names an absolute path");
  if (name.find(':') != std::string::npos) return refuse("names a drive or stream");
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find_first_of("/\\", start);
    if (end == std::string::npos) end = name.size();
    const std::string part = name.substr(start, end - start);
    start = end + 1;
    if (part.empty()) return refuse("has an empty path component");
    if (part.find_first_not_of(". ") == std::string::npos) {
      return refuse(part == ".." ? "leads out of the destination folder"
                                 : "has a component made of dots and blanks");
    }
    parts->push_back(part);
  }
  return Status::OK();
}

bool SameName(const std::string& a, const std::string& b) {
  const std::wstring wa = Utf8ToWide(a);
  const std::wstring wb = Utf8ToWide(b);
  return CompareStringOrdinal(wa.c_str(), static_cast<int>(wa.size()), wb.c_str(),
                              static_cast<int>(wb.size()), TRUE) == CSTR_EQUAL;
}

// An entry's name in UTF-8: as stored when the archive marks it so, else
// from the machine's ANSI code page.
std::string EntryName(const char* raw, unsigned attributes) {
  if (attributes & _A_NAME_IS_UTF) return raw;
  const int n = MultiByteToWideChar(CP_ACP, 0, raw, -1, nullptr, 0);
  if (n <= 1) return "";
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, raw, -1, wide.data(), n);
  wide.resize(static_cast<size_t>(n - 1));
  return WideToUtf8(wide);
}

// One run of Expand. FDI's file callbacks carry no context, so the run in
// progress on this thread is reached through tls_run; FDI's handles are
// indexes into its table of open files.
class Run {
 public:
  Run(FileSystem* files, std::string destination, std::string only_entry)
      : files_(files),
        destination_(std::move(destination)),
        only_entry_(std::move(only_entry)),
        placement_(files, GetCurrentProcessId()) {}

  ~Run() { open_.clear(); }  // closes the temporary files before they go

  static thread_local Run* current;

  Status Prepare(const std::string& archive) {
    uint32_t attributes = 0;
    if (!files_->GetFileAttributes(destination_, &attributes).ok()) {
      return Status::Error(kErrorPathNotFound,
                           "the destination folder " + destination_ + " does not exist");
    }
    if (!(attributes & kFileAttributeDirectory)) {
      return Status::Error(kErrorDirectoryName,
                           "the destination " + destination_ + " is not a folder");
    }
    uint64_t size = 0;
    Status s = files_->GetFileSize(archive, &size);
    if (!s.ok()) return s;
    budget_ = std::max(kMinOutputBudget, size * kMaxOutputRatio);
    return Status::OK();
  }

  // ---- FDI's file calls ----
  INT_PTR Open(const char* path) {
    std::unique_ptr<RandomAccessFile> file;
    if (!files_->NewRandomAccessFile(path, &file).ok()) return -1;
    open_.push_back(Open_{std::move(file), nullptr, 0, "", 0, 0});
    return static_cast<INT_PTR>(open_.size());
  }
  UINT Read(INT_PTR handle, void* data, UINT size) {
    Open_* f = Find(handle);
    if (f == nullptr || !f->reader) return static_cast<UINT>(-1);
    size_t got = 0;
    if (!f->reader->Read(f->offset, size, static_cast<uint8_t*>(data), &got).ok()) {
      return static_cast<UINT>(-1);
    }
    f->offset += got;
    return static_cast<UINT>(got);
  }
  UINT Write(INT_PTR handle, const void* data, UINT size) {
    Open_* f = Find(handle);
    if (f == nullptr || !f->writer) return static_cast<UINT>(-1);
    f->written += size;
    if (f->written > f->declared) {
      Fail(Status::Corrupt("the archive is damaged at entry \"" + f->entry + "\""));
      return static_cast<UINT>(-1);
    }
    Status s = f->writer->Append(data, size);
    if (!s.ok()) {
      Fail(s);
      return static_cast<UINT>(-1);
    }
    return size;
  }
  int Close(INT_PTR handle) {
    Open_* f = Find(handle);
    if (f == nullptr) return -1;
    int result = 0;
    if (f->writer && !f->writer->Close().ok()) result = -1;
    *f = Open_{};
    return result;
  }
  long Seek(INT_PTR handle, long distance, int origin) {
    Open_* f = Find(handle);
    if (f == nullptr || !f->reader) return -1;
    const int64_t base = origin == SEEK_SET ? 0
                         : origin == SEEK_CUR ? static_cast<int64_t>(f->offset)
                                              : static_cast<int64_t>(f->reader->Size());
    if (base + distance < 0) return -1;
    f->offset = static_cast<uint64_t>(base + distance);
    return static_cast<long>(f->offset);
  }

  // ---- FDI's notifications ----
  // A new entry: its temporary file's handle, 0 to skip it, -1 to stop.
  INT_PTR CopyFile(const char* raw_name, unsigned attributes, uint64_t size) {
    const std::string name = EntryName(raw_name, attributes);
    if (!only_entry_.empty()) {
      if (found_only_ || name.find_first_of("/\\") != std::string::npos ||
          !SameName(name, only_entry_)) {
        return Charge(name, size) ? 0 : -1;
      }
      found_only_ = true;
    }
    std::vector<std::string> parts;
    Status s = SplitEntryName(name, &parts);
    if (!s.ok()) return Fail(s);
    if (!Charge(name, size)) return -1;
    std::string folder = destination_;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
      folder += "\\" + parts[i];
      s = placement_.EnsureFolder(name, folder);
      if (!s.ok()) return Fail(s);
    }
    std::string temp;
    s = placement_.NewTempName(folder, &temp);
    if (!s.ok()) return Fail(s);
    std::unique_ptr<WritableFile> out;
    s = files_->NewWritableFile(temp, OpenMode::kCreateAlways, &out);
    if (!s.ok()) return Fail(s);
    placement_.Add(temp, folder + "\\" + parts.back(), folder, name);
    open_.push_back(Open_{nullptr, std::move(out), 0, name, size, 0});
    return static_cast<INT_PTR>(open_.size());
  }
  // The entry is complete: its handle is closed here.
  bool EntryDone(INT_PTR handle) {
    Open_* f = Find(handle);
    const bool short_entry = f != nullptr && f->writer && f->written != f->declared;
    const std::string entry = f != nullptr ? f->entry : "";
    if (Close(handle) != 0) return Fail(Status::Error(kErrorWriteFault, "cannot write")) != -1;
    if (short_entry) {
      Fail(Status::Corrupt("the archive is damaged at entry \"" + entry + "\""));
      return false;
    }
    return true;
  }

  Status Finish(bool copied, int32_t* files_written) {
    if (!failure_.ok()) return failure_;
    if (!copied) return Status::Corrupt("the archive " + std::string("cannot be read"));
    if (!only_entry_.empty() && !found_only_) {
      return Status::Error(kErrorFileNotFound,
                           "the archive holds no entry \"" + only_entry_ + "\"");
    }
    return placement_.Commit(files_written);
  }

 private:
  // An open file of FDI's: the archive (reader) or an entry being written.
  struct Open_ {
    std::unique_ptr<RandomAccessFile> reader;
    std::unique_ptr<WritableFile> writer;
    uint64_t offset;
    std::string entry;  // the entry's name in the archive
    uint64_t declared, written;
  };

  Open_* Find(INT_PTR handle) {
    if (handle < 1 || static_cast<size_t>(handle) > open_.size()) return nullptr;
    return &open_[static_cast<size_t>(handle) - 1];
  }
  INT_PTR Fail(const Status& s) {
    if (failure_.ok()) failure_ = s;
    return -1;
  }
  bool Charge(const std::string& name, uint64_t size) {
    if (size > kMaxEntryBytes || size > budget_ - used_) {
      Fail(Status::Error(kErrorInvalidData, "the archive's entry \"" + name +
                                                "\" holds more bytes than allowed"));
      return false;
    }
    used_ += size;
    return true;
  }
  FileSystem* files_;
  std::string destination_;
  std::string only_entry_;
  bool found_only_ = false;
  uint64_t budget_ = kMinOutputBudget;
  uint64_t used_ = 0;
  std::vector<Open_> open_;
  Status failure_;
  EntryPlacement placement_;
};

thread_local Run* Run::current = nullptr;

FNALLOC(FdiAlloc) { return std::malloc(cb); }
FNFREE(FdiFree) { std::free(pv); }
FNOPEN(FdiOpen) {
  (void)oflag;
  (void)pmode;
  return Run::current->Open(pszFile);
}
FNREAD(FdiRead) { return Run::current->Read(hf, pv, cb); }
FNWRITE(FdiWrite) { return Run::current->Write(hf, pv, cb); }
FNCLOSE(FdiClose) { return Run::current->Close(hf); }
FNSEEK(FdiSeek) { return Run::current->Seek(hf, dist, seektype); }

FNFDINOTIFY(FdiNotify) {
  Run* run = Run::current;
  switch (fdint) {
    case fdintCOPY_FILE:
      return run->CopyFile(pfdin->psz1, pfdin->attribs, static_cast<uint64_t>(pfdin->cb));
    case fdintCLOSE_FILE_INFO:
      return run->EntryDone(pfdin->hf) ? TRUE : -1;
    case fdintNEXT_CABINET:
      return -1;  // one archive is one cabinet
    default:
      return 0;
  }
}

struct FdiDestroyer {
  void operator()(void* fdi) const { FDIDestroy(fdi); }
};

}  // namespace

Status Win32Expander::SetDestination(const std::string& folder) {
  if (folder.empty()) return Status::Error(kErrorBadPathName, "no destination folder");
  destination_ = folder;
  return Status::OK();
}

Status Win32Expander::SetArchive(const std::string& archive) {
  if (archive.empty()) return Status::Error(kErrorBadPathName, "no archive");
  archive_ = archive;
  return Status::OK();
}

Status Win32Expander::SetOnlyEntry(const std::string& name) {
  only_entry_ = name;
  return Status::OK();
}

Status Win32Expander::Expand(int32_t* files_written) {
  *files_written = 0;
  Run run(files_, destination_, only_entry_);
  Status s = run.Prepare(archive_);
  if (!s.ok()) return s;
  Run::current = &run;
  ERF error{};
  std::unique_ptr<void, FdiDestroyer> fdi(FDICreate(FdiAlloc, FdiFree, FdiOpen, FdiRead, FdiWrite,
                                                    FdiClose, FdiSeek, cpuUNKNOWN, &error));
  bool copied = false;
  if (fdi) {
    // FDI opens path + name; the archive's whole path goes in the path.
    std::string path = archive_;
    std::string name;
    copied = FDICopy(fdi.get(), name.data(), path.data(), 0, FdiNotify, nullptr, nullptr) != FALSE;
  }
  fdi.reset();
  s = run.Finish(copied, files_written);
  Run::current = nullptr;
  return s;
}

}  // namespace qv::win32
