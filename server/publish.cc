// Copying or packing a file into the files folder.
#include "server/publish.h"

#include <sys/stat.h>

#include "server/cab_pack.h"
#include "server/file_root.h"
#include "server/host_files.h"

namespace qv::server {

bool PublishFile(const std::string& files_dir, const std::string& file, const std::string& relative,
                 bool compress, std::string* published, std::string* error) {
  struct stat st;
  if (::stat(files_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = files_dir + " is not a folder";
    return false;
  }
  std::string target = relative;
  if (target.empty()) {
    const size_t slash = file.find_last_of('/');
    target = slash == std::string::npos ? file : file.substr(slash + 1);
  }
  if (compress) target += ".cmp";
  std::string why;
  if (!IsPlainRelativePath(target, &why)) {
    *error = "cannot publish as \"" + target + "\": " + why;
    return false;
  }
  const std::string path = files_dir + "/" + target;
  const size_t slash = path.find_last_of('/');
  if (!MakeFolders(path.substr(0, slash), error)) return false;
  const bool ok = compress ? PackFile(file, path, error) : CopyFileAtomically(file, path, error);
  if (ok) *published = target;
  return ok;
}

}  // namespace qv::server
