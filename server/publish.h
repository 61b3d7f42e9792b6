// PublishFile: puts a file where the server hands it out, below its files
// folder, as is or packed into a ".cmp" archive.
//
// Safe to call from any thread; concurrent calls for the same path leave one
// of the copies whole.
#ifndef QV_SERVER_PUBLISH_H_
#define QV_SERVER_PUBLISH_H_

#include <string>

#include "platform/status.h"

namespace qv::server {

// Copies file to files_dir/relative (relative defaults to the file's own
// name; missing folders are made). With compress, writes instead the
// archive files_dir/relative + ".cmp", which holds the file under its own
// name. relative must be plain names joined by "/" (no "..", no leading "/",
// no backslash). On success *published is the path below files_dir that was
// written (what a record's DownloadLocation names).
Status PublishFile(const std::string& files_dir, const std::string& file,
                   const std::string& relative, bool compress, std::string* published);

}  // namespace qv::server

#endif  // QV_SERVER_PUBLISH_H_
