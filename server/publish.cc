// Copying or packing a file into the files folder.
#include "server/publish.h"

#include <sys/stat.h>

#include "platform/posix/atomic_file.h"
#include "server/cab_pack.h"
#include "server/file_root.h"
#include "server/host_files.h"

namespace qv::server {

Status PublishFile(const std::string& files_dir, const std::string& file,
                   const std::string& relative, bool compress, std::string* published) {
  struct stat st;
  if (::stat(files_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return Status::Error(kErrorPathNotFound, files_dir + " is not a folder");
  }
  // What a publish that was killed left half-written goes first.
  SweepDeadTemporaries(files_dir, true);
  std::string target = relative;
  if (target.empty()) {
    const size_t slash = file.find_last_of('/');
    target = slash == std::string::npos ? file : file.substr(slash + 1);
  }
  if (compress) target += ".cmp";
  const Status plain = CheckPlainRelativePath(target);
  if (!plain.ok()) {
    return Status::Error(plain.code(), "cannot publish as \"" + target + "\": " + plain.message());
  }
  const std::string path = files_dir + "/" + target;
  const size_t slash = path.find_last_of('/');
  Status status = MakeFolders(path.substr(0, slash));
  if (status.ok()) status = compress ? PackFile(file, path) : CopyFileAtomically(file, path);
  if (status.ok()) *published = target;
  return status;
}

}  // namespace qv::server
