// Walking the files folder, and checking the lists' files against it.
#include "server/published_files.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <system_error>

#include "installlist/install_list.h"
#include "server/list_document.h"

namespace qv::server {
namespace {

namespace fs = std::filesystem;

int64_t UnixSeconds(fs::file_time_type time) {
  const auto system = std::chrono::file_clock::to_sys(time);
  return std::chrono::duration_cast<std::chrono::seconds>(system.time_since_epoch()).count();
}

// Whether path (resolved) is root itself or below it.
bool Inside(const fs::path& root, const fs::path& path) {
  const auto [end, at] = std::mismatch(root.begin(), root.end(), path.begin(), path.end());
  return end == root.end();
}

// What the entry at path is, as the listing shows it; false when it is
// left out (a folder, a link to one inside, or something other than a
// file).
bool Describe(const fs::path& root, const fs::directory_entry& entry, PublishedFile* file) {
  std::error_code error;
  fs::path target = entry.path();
  if (entry.is_symlink(error)) {
    target = fs::canonical(entry.path(), error);
    if (error) {
      file->kind = PublishedFile::Kind::kLinkBroken;
      return true;
    }
    if (!Inside(root, target)) {
      file->kind = PublishedFile::Kind::kLinkOutside;
      return true;
    }
  }
  const fs::file_status status = fs::status(target, error);
  if (error || !fs::is_regular_file(status)) return false;
  const uintmax_t size = fs::file_size(target, error);
  if (error) return false;
  const fs::file_time_type modified = fs::last_write_time(target, error);
  if (error) return false;
  file->size = static_cast<int64_t>(size);
  file->modified = UnixSeconds(modified);
  return true;
}

}  // namespace

Status ListPublishedFiles(const FileRoot& root, size_t max_entries, PublishedListing* listing) {
  *listing = {};
  const fs::path base(root.path());
  std::error_code error;
  fs::recursive_directory_iterator it(base, fs::directory_options::skip_permission_denied, error);
  size_t seen = 0;
  for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (++seen > max_entries) {
      listing->cut = true;
      break;
    }
    PublishedFile file;
    if (!Describe(base, *it, &file)) continue;
    file.path = it->path().lexically_relative(base).generic_string();
    listing->files.push_back(std::move(file));
  }
  if (error) {
    return Status::Error(kErrorPathNotFound,
                         "cannot list the files folder " + root.path() + ": " + error.message());
  }
  std::sort(listing->files.begin(), listing->files.end(),
            [](const PublishedFile& a, const PublishedFile& b) { return a.path < b.path; });
  return Status::OK();
}

Status FindMissingFiles(Storage& storage, const FileRoot& root, std::vector<MissingFile>* missing) {
  missing->clear();
  std::vector<InstallListRow> lists;
  Status status = storage.ListInstallLists(&lists);
  for (size_t i = 0; status.ok() && i < lists.size(); ++i) {
    const std::string& key_name = lists[i].key_name;
    bool found = false;
    int64_t generation = 0;
    Recordset list;
    status = ReadStoredList(storage, key_name, &found, &list, &generation);
    if (!status.ok() || !found) continue;
    for (list.MoveFirst(); !list.Eof(); list.MoveNext()) {
      const std::string location = list.Field(kFieldDownloadLocation).ToText();
      if (location.empty()) continue;
      std::shared_ptr<FileHandle> file;
      uint64_t size = 0;
      const FileRoot::Lookup lookup = root.OpenFile("/" + location, &file, &size);
      if (lookup == FileRoot::Lookup::kFound) continue;
      missing->push_back({key_name, list.Field(kFieldSequenceID).ToText(),
                          list.Field(kFieldFileName).ToText(), location,
                          lookup == FileRoot::Lookup::kRefused
                              ? "not a plain path below the files folder"
                              : "no such file in the files folder"});
    }
  }
  return status;
}

}  // namespace qv::server
