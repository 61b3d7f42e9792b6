// The two files that a copy-only run fetches before the listed files, from
// fixed paths of its download server: the setup page and the control's own
// cabinet for installing from a local folder. The server hands out the
// files-root copies when there are any, and these built-in ones otherwise.
//
// Safe to call from any thread.
#ifndef QV_SERVER_PRELUDE_FILES_H_
#define QV_SERVER_PRELUDE_FILES_H_

#include <memory>
#include <string>

namespace qv::server {

inline constexpr char kSetupPagePath[] = "/installs/setup.html";
inline constexpr char kLocalCabinetPath[] = "/installs/QV_InitLocal_V3.CAB";

struct BuiltInFile {
  std::string content_type;
  std::shared_ptr<const std::string> bytes;
};

// The built-in file for url_path, or nullptr when url_path is neither of the
// two paths (matched exactly).
const BuiltInFile* BuiltInPreludeFile(const std::string& url_path);

}  // namespace qv::server

#endif  // QV_SERVER_PRELUDE_FILES_H_
