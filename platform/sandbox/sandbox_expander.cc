// SandboxExpander: cabinets read with libarchive, files written through the
// machine's file system.
//
// An expansion is all or nothing. Every entry is streamed (64 KiB at a time)
// into a temporary file "~qvx<pid>_<n>.tmp" in the folder it belongs to,
// held open (and so in use) while it is written; only when the whole archive
// has been read without a fault are the temporary files put in place, in
// archive order. A file an entry replaces is first moved aside under such a
// temporary name; when an entry cannot be put in place, the entries already
// placed are taken back and the files moved aside return. A damaged archive,
// a hostile entry name, a failed write or a failed placement therefore leaves
// the destination as it was: existing files, and no new files or folders.
//
// Declared entry sizes are checked against the bounds before anything is
// written (the reader never yields more than an entry declares), and the
// bytes streamed are counted against them as well.
#include "platform/sandbox/sandbox_expander.h"

#include <archive.h>
#include <archive_entry.h>
#include <locale.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/entry_placement.h"

namespace qv::sandbox {

namespace {

constexpr size_t kBufferSize = 64 * 1024;

// What one archive may yield: an entry at most kMaxEntryBytes; all entries
// together (those skipped included, as reading past them costs the same) at
// most kMaxOutputRatio times the archive's size, or kMinOutputBudget for a
// small archive.
constexpr uint64_t kMaxEntryBytes = uint64_t{512} << 20;
constexpr uint64_t kMaxOutputRatio = 100;
constexpr uint64_t kMinOutputBudget = uint64_t{16} << 20;

// Switches the calling thread to a UTF-8 locale while alive: libarchive
// converts entry names into the current locale's character set, and the
// classic "C" locale cannot hold non-ASCII names. Only this thread is
// affected; the process-wide locale is left alone.
class ScopedUtf8Locale {
 public:
  ScopedUtf8Locale() {
    utf8_ = ::newlocale(LC_ALL_MASK, "C.UTF-8", static_cast<locale_t>(0));
    if (utf8_ != static_cast<locale_t>(0)) previous_ = ::uselocale(utf8_);
  }
  ~ScopedUtf8Locale() {
    if (utf8_ == static_cast<locale_t>(0)) return;
    ::uselocale(previous_);
    ::freelocale(utf8_);
  }
  ScopedUtf8Locale(const ScopedUtf8Locale&) = delete;
  ScopedUtf8Locale& operator=(const ScopedUtf8Locale&) = delete;

 private:
  locale_t utf8_ = static_cast<locale_t>(0);
  locale_t previous_ = static_cast<locale_t>(0);
};

struct ArchiveFree {
  void operator()(archive* a) const { archive_read_free(a); }
};
using ArchivePtr = std::unique_ptr<archive, ArchiveFree>;

// Feeds libarchive from a file of the machine, one buffer at a time.
struct ArchiveSource {
  const RandomAccessFile* file = nullptr;
  uint64_t offset = 0;
  std::vector<uint8_t> buffer;
  Status status;  // the first read failure, kept for the caller
};

la_ssize_t ReadArchive(archive* a, void* client, const void** block) {
  auto* source = static_cast<ArchiveSource*>(client);
  size_t got = 0;
  Status s = source->file->Read(source->offset, source->buffer.size(),
                                source->buffer.data(), &got);
  if (!s.ok()) {
    if (source->status.ok()) source->status = s;
    archive_set_error(a, EIO, "%s", s.message().c_str());
    return -1;
  }
  source->offset += got;
  *block = source->buffer.data();
  return static_cast<la_ssize_t>(got);
}

la_int64_t SkipArchive(archive*, void* client, la_int64_t request) {
  auto* source = static_cast<ArchiveSource*>(client);
  const uint64_t size = source->file->Size();
  const uint64_t left = size > source->offset ? size - source->offset : 0;
  const uint64_t skip = request > 0 ? std::min<uint64_t>(left, request) : 0;
  source->offset += skip;
  return static_cast<la_int64_t>(skip);
}

std::string ArchiveError(archive* a) {
  const char* text = archive_error_string(a);
  return text != nullptr ? text : "unknown error";
}

bool IsValidUtf8(const std::string& text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    size_t extra = 0;
    if (c < 0x80) {
      extra = 0;
    } else if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
    } else {
      return false;
    }
    if (i + extra >= text.size() && extra > 0) return false;
    for (size_t k = 1; k <= extra; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    i += extra + 1;
  }
  return true;
}

// Splits an entry name into its components and refuses every name that could
// reach outside the destination: an absolute name, a drive, "..", and
// components that Windows would shorten to "." or ".." or to nothing (dots
// and blanks only), or empty components.
Status SplitEntryName(const std::string& name, std::vector<std::string>* components) {
  components->clear();
  auto refuse = [&](const std::string& why) {
    return Status::Error(kErrorBadPathName,
                         "the archive's entry \"" + name + "\" " + why);
  };
  if (name.empty()) return refuse("has no name");
  if (!IsValidUtf8(name)) return refuse("has a name that cannot be read");
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
    components->push_back(part);
  }
  return Status::OK();
}

std::string JoinPath(const std::string& folder, const std::vector<std::string>& parts,
                     size_t count) {
  std::string path = folder;
  for (size_t i = 0; i < count; ++i) path += "\\" + parts[i];
  return path;
}

// The entry's name as UTF-8 ("/" separates), or as stored when it has none.
std::string EntryName(archive_entry* entry) {
  const char* raw = archive_entry_pathname_utf8(entry);
  if (raw == nullptr) raw = archive_entry_pathname(entry);
  return raw != nullptr ? raw : "";
}

// One run of Expand: what it has made so far, removed again unless the run
// commits.
class Expansion {
 public:
  Expansion(Machine* machine, FileSystem* files, std::string destination)
      : machine_(machine),
        files_(files),
        destination_(std::move(destination)),
        placement_(files, static_cast<uint32_t>(::getpid())) {}

  Status CheckDestination() {
    uint32_t attributes = 0;
    Status s = files_->GetFileAttributes(destination_, &attributes);
    if (!s.ok()) {
      return Status::Error(kErrorPathNotFound,
                           "the destination folder " + destination_ + " does not exist");
    }
    if (!(attributes & kFileAttributeDirectory)) {
      return Status::Error(kErrorDirectoryName,
                           "the destination " + destination_ + " is not a folder");
    }
    return machine_->ParsePath(destination_, &destination_path_);
  }

  // The bounds for an archive of archive_size bytes.
  void SetArchiveSize(uint64_t archive_size) {
    const uint64_t most = UINT64_MAX / kMaxOutputRatio;
    budget_ = std::max(kMinOutputBudget,
                       archive_size > most ? UINT64_MAX : archive_size * kMaxOutputRatio);
  }

  // Charges an entry that is read but not written against the budget.
  Status Skip(archive_entry* entry) {
    if (archive_entry_size_is_set(entry) == 0) return Status::OK();
    return Charge(EntryName(entry), static_cast<uint64_t>(archive_entry_size(entry)));
  }

  // Streams the current entry of a into a temporary file beside its final
  // place.
  Status AddEntry(archive* a, archive_entry* entry, std::vector<uint8_t>* buffer) {
    const std::string name = EntryName(entry);
    std::vector<std::string> parts;
    Status s = SplitEntryName(name, &parts);
    if (!s.ok()) return s;
    const bool size_known = archive_entry_size_is_set(entry) != 0;
    const auto declared = static_cast<uint64_t>(archive_entry_size(entry));
    if (size_known) {
      s = Charge(name, declared);
      if (!s.ok()) return s;
    }
    const std::string final_path = JoinPath(destination_, parts, parts.size());
    s = CheckBelowDestination(name, final_path);
    if (!s.ok()) return s;
    for (size_t depth = 1; depth < parts.size(); ++depth) {
      s = placement_.EnsureFolder(name, JoinPath(destination_, parts, depth));
      if (!s.ok()) return s;
    }
    const std::string folder = JoinPath(destination_, parts, parts.size() - 1);
    std::string temp;
    s = placement_.NewTempName(folder, &temp);
    if (!s.ok()) return s;
    std::unique_ptr<WritableFile> out;
    s = files_->NewWritableFile(temp, OpenMode::kCreateAlways, &out);
    if (!s.ok()) {
      return Status::Error(s.code(), "cannot write the archive's entry \"" + name +
                                         "\": " + s.message());
    }
    placement_.Add(temp, final_path, folder, name);

    uint64_t total = 0;
    while (true) {
      const la_ssize_t n = archive_read_data(a, buffer->data(), buffer->size());
      if (n < 0) {
        return Status::Corrupt("the archive is damaged at entry \"" + name +
                               "\": " + ArchiveError(a));
      }
      if (n == 0) break;
      total += static_cast<uint64_t>(n);
      if (size_known && total > declared) break;
      if (!size_known) {
        s = Charge(name, static_cast<uint64_t>(n));
        if (!s.ok()) return s;
      }
      s = out->Append(buffer->data(), static_cast<size_t>(n));
      if (!s.ok()) {
        return Status::Error(s.code(), "cannot write the archive's entry \"" + name +
                                           "\": " + s.message());
      }
    }
    if (size_known && total != declared) {
      return Status::Corrupt("the archive is damaged at entry \"" + name + "\": it declares " +
                             std::to_string(declared) + " bytes but holds " +
                             std::to_string(total));
    }
    s = out->Close();
    if (!s.ok()) {
      return Status::Error(s.code(), "cannot write the archive's entry \"" + name +
                                         "\": " + s.message());
    }
    return Status::OK();
  }

  // Puts every entry in place, in archive order; on a failure takes back
  // what was placed.
  Status Commit(int32_t* files_written) { return placement_.Commit(files_written); }

 private:
  // Counts size bytes of the entry name against the bounds.
  Status Charge(const std::string& name, uint64_t size) {
    if (size > kMaxEntryBytes) {
      return Status::Error(kErrorInvalidData,
                           "the archive's entry \"" + name + "\" holds " + std::to_string(size) +
                               " bytes, more than the " + std::to_string(kMaxEntryBytes) +
                               " bytes allowed for one file");
    }
    if (size > budget_ - used_) {
      return Status::Error(kErrorInvalidData,
                           "the archive's entries hold more than the " + std::to_string(budget_) +
                               " bytes allowed for an archive of its size (at entry \"" + name +
                               "\", " + std::to_string(size) + " bytes)");
    }
    used_ += size;
    return Status::OK();
  }

  // The parsed path must lie strictly below the destination.
  Status CheckBelowDestination(const std::string& name, const std::string& path) {
    WinPath parsed;
    Status s = machine_->ParsePath(path, &parsed);
    if (!s.ok()) {
      return Status::Error(s.code(), "the archive's entry \"" + name +
                                         "\" has a name this machine refuses");
    }
    const auto& base = destination_path_.components;
    bool below = parsed.drive == destination_path_.drive &&
                 parsed.components.size() > base.size();
    for (size_t i = 0; below && i < base.size(); ++i) {
      below = NamesEqual(parsed.components[i], base[i]);
    }
    if (!below) {
      return Status::Error(kErrorBadPathName, "the archive's entry \"" + name +
                                                  "\" lies outside the destination folder");
    }
    return Status::OK();
  }

  Machine* machine_;
  FileSystem* files_;
  std::string destination_;
  WinPath destination_path_;
  uint64_t budget_ = kMinOutputBudget;
  uint64_t used_ = 0;
  EntryPlacement placement_;
};

// The libarchive name of the machine's ANSI code page, in which entry names
// without the UTF-8 flag are written.
std::string AnsiCharset(uint32_t code_page) {
  return code_page == 65001 ? "UTF-8" : "CP" + std::to_string(code_page);
}

}  // namespace

SandboxExpander::SandboxExpander(Machine* machine, FileSystem* files)
    : machine_(machine), files_(files) {}

Status SandboxExpander::SetDestination(const std::string& folder) {
  WinPath parsed;
  Status s = machine_->ParsePath(folder, &parsed);
  if (!s.ok()) return s;
  destination_ = folder;
  return Status::OK();
}

Status SandboxExpander::SetArchive(const std::string& archive_path) {
  WinPath parsed;
  Status s = machine_->ParsePath(archive_path, &parsed);
  if (!s.ok()) return s;
  archive_ = archive_path;
  return Status::OK();
}

Status SandboxExpander::SetOnlyEntry(const std::string& name) {
  if (name.empty() || name.find_first_of("\\/:") != std::string::npos) {
    return Status::InvalidArgument("\"" + name + "\" is not the name of a file");
  }
  only_entry_ = name;
  return Status::OK();
}

Status SandboxExpander::Expand(int32_t* files_written) {
  int32_t ignored = 0;
  if (files_written == nullptr) files_written = &ignored;
  *files_written = 0;
  if (destination_.empty()) return Status::InvalidArgument("no destination folder was set");
  if (archive_.empty()) return Status::InvalidArgument("no archive was set");

  Expansion expansion(machine_, files_, destination_);
  Status s = expansion.CheckDestination();
  if (!s.ok()) return s;

  {
    std::unique_ptr<RandomAccessFile> file;
    s = files_->NewRandomAccessFile(archive_, &file);
    if (!s.ok()) return s;
    expansion.SetArchiveSize(file->Size());

    ScopedUtf8Locale utf8;
    ArchivePtr reader(archive_read_new());
    if (!reader) return Status::Error(kErrorNotEnoughMemory, "cannot read archives");
    archive* a = reader.get();
    archive_read_support_format_cab(a);
    // A charset that iconv lacks only leaves such names unconverted; they
    // are then refused as unreadable.
    archive_read_set_format_option(a, "cab", "hdrcharset",
                                   AnsiCharset(machine_->codec().code_page()).c_str());
    ArchiveSource source;
    source.file = file.get();
    source.buffer.resize(kBufferSize);
    archive_read_set_read_callback(a, ReadArchive);
    archive_read_set_skip_callback(a, SkipArchive);
    archive_read_set_callback_data(a, &source);
    if (archive_read_open1(a) != ARCHIVE_OK) {
      if (!source.status.ok()) return source.status;
      return Status::Error(kErrorBadFormat, archive_ + " is not a cabinet: " + ArchiveError(a));
    }

    std::vector<uint8_t> buffer(kBufferSize);
    bool found = false;
    for (int index = 0; !found; ++index) {
      archive_entry* entry = nullptr;
      const int r = archive_read_next_header(a, &entry);
      if (r == ARCHIVE_EOF) break;
      if (!source.status.ok()) return source.status;
      if (r == ARCHIVE_WARN) {
        // Only an entry name that cannot be converted warns here.
        return Status::Error(kErrorBadPathName, "the name of the archive's entry " +
                                                    std::to_string(index + 1) +
                                                    " cannot be read: " + ArchiveError(a));
      }
      if (r != ARCHIVE_OK) {
        if (index == 0 && archive_format(a) == 0) {
          return Status::Error(kErrorBadFormat,
                               archive_ + " is not a cabinet: " + ArchiveError(a));
        }
        return Status::Corrupt("the archive " + archive_ + " is damaged at entry " +
                               std::to_string(index + 1) + ": " + ArchiveError(a));
      }
      const bool wanted = only_entry_.empty() || NamesEqual(EntryName(entry), only_entry_);
      s = wanted ? expansion.AddEntry(a, entry, &buffer) : expansion.Skip(entry);
      if (!source.status.ok()) return source.status;
      if (!s.ok()) return s;
      found = wanted && !only_entry_.empty();
    }
    if (!only_entry_.empty() && !found) {
      return Status::Error(kErrorFileNotFound,
                           "the archive " + archive_ + " holds no file \"" + only_entry_ + "\"");
    }
  }  // the archive is closed before anything is moved in place
  return expansion.Commit(files_written);
}

}  // namespace qv::sandbox
