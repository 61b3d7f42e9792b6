// PublishedFiles: what the files folder holds, and which files the stored
// install lists name that it lacks: what an operator looks at before the
// clients fail on a missing download.
//
// The walk never leaves the folder: a symbolic link is followed only to see
// where it leads; one that leads out of the folder, or nowhere, is reported
// as such, and links to folders are not descended into (what they hold is
// listed where it really lies, when that is inside).
//
// Safe to call from any thread.
#ifndef QV_SERVER_PUBLISHED_FILES_H_
#define QV_SERVER_PUBLISHED_FILES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/status.h"
#include "server/file_root.h"
#include "server/storage.h"

namespace qv::server {

// The walk stops after this many entries (files, folders and links).
inline constexpr size_t kMaxPublishedEntries = 10000;

struct PublishedFile {
  enum class Kind {
    kFile,         // a file (or a link to one inside the folder), served
    kLinkOutside,  // a link that leads out of the folder: not served
    kLinkBroken,   // a link that leads nowhere
  };
  std::string path;  // below the folder, "/" between names
  Kind kind = Kind::kFile;
  int64_t size = 0;      // kFile: bytes
  int64_t modified = 0;  // kFile: Unix seconds
};

struct PublishedListing {
  std::vector<PublishedFile> files;  // by path
  bool cut = false;                  // the walk stopped at max_entries
};

// The files below root, by path; at most max_entries entries are looked at.
Status ListPublishedFiles(const FileRoot& root, size_t max_entries, PublishedListing* listing);

// A record whose DownloadLocation the server cannot hand out.
struct MissingFile {
  std::string key_name;
  std::string sequence_id;
  std::string file_name;
  std::string location;
  std::string reason;
};

// The records of every stored list whose DownloadLocation names no file that
// root serves, by key name and list order. Records without a location name
// no file and are left out.
Status FindMissingFiles(Storage& storage, const FileRoot& root, std::vector<MissingFile>* missing);

}  // namespace qv::server

#endif  // QV_SERVER_PUBLISHED_FILES_H_
