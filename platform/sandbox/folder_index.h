// FolderIndex: the names of host folders by their folded (case-insensitive)
// form, kept up to date by inotify.
//
// Windows finds "readme.TXT" when the folder holds "ReadMe.txt"; the host's
// file system does not, so the sandbox looks such names up by listing the
// folder. For a name that is not there at all (every target that is not yet
// installed) that listing is the whole folder, once per lookup. The index
// lists a folder once and keeps the listing while the kernel reports no
// change to it: every creation, deletion or rename in a watched folder, by
// this process or any other, is queued by the kernel before the call that
// made it returns, and the queue is read before every lookup.
//
// Where inotify is not available (no instance, no watch left), Lookup says
// so and the caller lists the folder itself. Not thread-safe: one index per
// machine, used on the machine's thread.
#ifndef QV_PLATFORM_SANDBOX_FOLDER_INDEX_H_
#define QV_PLATFORM_SANDBOX_FOLDER_INDEX_H_

#include <sys/types.h>

#include <string>
#include <unordered_map>

namespace qv::sandbox {

class FolderIndex {
 public:
  FolderIndex();
  ~FolderIndex();
  FolderIndex(const FolderIndex&) = delete;
  FolderIndex& operator=(const FolderIndex&) = delete;

  // Finds the entry of host_dir whose folded name is folded: *actual is its
  // name, or "" when there is none. False when the folder cannot be indexed
  // (the caller must look for itself).
  bool Lookup(const std::string& host_dir, const std::string& folded, std::string* actual);

  // Folders indexed now (for tests).
  size_t folder_count() const { return folders_.size(); }

 private:
  struct Folder {
    int watch = -1;
    dev_t device = 0;
    ino_t inode = 0;
    bool listed = false;
    // Two names in it differ only in case (made by a host program).
    bool variants = false;
    std::unordered_map<std::string, std::string> names;  // folded -> actual
  };

  // Reads the kernel's queue and forgets the listings of folders that
  // changed.
  void Drain();
  void Clear();
  bool List(const std::string& host_dir, Folder* folder);

  int inotify_ = -1;
  std::unordered_map<std::string, Folder> folders_;
  std::unordered_map<int, std::string> by_watch_;
};

}  // namespace qv::sandbox

#endif  // QV_PLATFORM_SANDBOX_FOLDER_INDEX_H_
