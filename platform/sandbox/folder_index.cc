// FolderIndex on inotify.
#include "platform/sandbox/folder_index.h"

#include <dirent.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/sandbox/machine.h"

namespace qv::sandbox {
namespace {

// Folders kept at once; past it the index starts again. A run meets a few
// folders again and again.
constexpr size_t kMaxFolders = 256;

constexpr uint32_t kWatchedChanges = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                     IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

}  // namespace

FolderIndex::FolderIndex() { inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC); }

FolderIndex::~FolderIndex() {
  if (inotify_ >= 0) ::close(inotify_);
}

void FolderIndex::Clear() {
  for (const auto& [dir, folder] : folders_) ::inotify_rm_watch(inotify_, folder.watch);
  folders_.clear();
  by_watch_.clear();
  // Events of the watches just removed may still be queued; they name
  // watches that are gone and are passed over.
}

void FolderIndex::Drain() {
  alignas(struct inotify_event) char buffer[16384];
  while (true) {
    const ssize_t n = ::read(inotify_, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
      if (event->mask & IN_Q_OVERFLOW) {
        // Changes were lost: every listing is in doubt.
        for (auto& [dir, folder] : folders_) folder.listed = false;
        continue;
      }
      const auto watched = by_watch_.find(event->wd);
      if (watched == by_watch_.end()) continue;
      const auto it = folders_.find(watched->second);
      if (it == folders_.end()) continue;
      Folder& folder = it->second;
      if (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) {
        // The folder is gone from its path; its watch goes with it.
        if (!(event->mask & IN_IGNORED)) ::inotify_rm_watch(inotify_, folder.watch);
        by_watch_.erase(watched);
        folders_.erase(it);
        continue;
      }
      if (!folder.listed || event->len == 0) continue;
      const std::string name(event->name);
      const std::string folded = FoldCase(name);
      if (event->mask & (IN_CREATE | IN_MOVED_TO)) {
        // The first of two names that differ only in case keeps the place,
        // as when the folder was listed.
        if (!folder.names.emplace(folded, name).second) folder.variants = true;
      } else if (event->mask & (IN_DELETE | IN_MOVED_FROM)) {
        const auto entry = folder.names.find(folded);
        if (entry != folder.names.end() && entry->second == name) folder.names.erase(entry);
        // Another name of the same folded form may still be there.
        if (folder.variants) folder.listed = false;
      }
    }
  }
}

bool FolderIndex::List(const std::string& host_dir, Folder* folder) {
  folder->names.clear();
  folder->variants = false;
  DIR* dir = ::opendir(host_dir.c_str());
  if (dir == nullptr) return false;
  while (dirent* e = ::readdir(dir)) {
    if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
    if (!folder->names.emplace(FoldCase(e->d_name), e->d_name).second) folder->variants = true;
  }
  ::closedir(dir);
  folder->listed = true;
  return true;
}

bool FolderIndex::Lookup(const std::string& host_dir, const std::string& folded,
                         std::string* actual) {
  actual->clear();
  if (inotify_ < 0) return false;
  Drain();
  struct stat st;
  if (::stat(host_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  auto it = folders_.find(host_dir);
  // A folder moved away and another made at its path is not the one
  // watched.
  if (it != folders_.end() && (it->second.device != st.st_dev || it->second.inode != st.st_ino)) {
    ::inotify_rm_watch(inotify_, it->second.watch);
    by_watch_.erase(it->second.watch);
    folders_.erase(it);
    it = folders_.end();
  }
  if (it == folders_.end()) {
    if (folders_.size() >= kMaxFolders) Clear();
    // The watch comes first, so that a change made while the folder is
    // listed is not missed.
    const int watch = ::inotify_add_watch(inotify_, host_dir.c_str(), kWatchedChanges);
    if (watch < 0) return false;
    // The same folder under another path (a link) already has this watch.
    if (by_watch_.count(watch) != 0) return false;
    Folder folder;
    folder.watch = watch;
    folder.device = st.st_dev;
    folder.inode = st.st_ino;
    by_watch_.emplace(watch, host_dir);
    it = folders_.emplace(host_dir, std::move(folder)).first;
  }
  Folder& folder = it->second;
  if (!folder.listed && !List(host_dir, &folder)) return false;
  const auto entry = folder.names.find(folded);
  if (entry != folder.names.end()) *actual = entry->second;
  return true;
}

}  // namespace qv::sandbox
