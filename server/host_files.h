// Host files for the server's tools: reading a file whole, copying one
// atomically (a temporary file beside the target, flushed, then renamed over
// it, so that a reader finds the old file or the new one whole), and making
// folders. Whole files are written by qv::WriteFileAtomically
// (platform/posix/atomic_file.h).
//
// Every function returns a Status whose message names the path. They hold no
// state and may be called from any thread.
#ifndef QV_SERVER_HOST_FILES_H_
#define QV_SERVER_HOST_FILES_H_

#include <string>

#include "platform/status.h"

namespace qv::server {

Status ReadWholeFile(const std::string& path, std::string* data);

// Copies the regular file from to the path to, keeping its permission bits.
Status CopyFileAtomically(const std::string& from, const std::string& to);

// Makes path and every missing folder above it.
Status MakeFolders(const std::string& path);

}  // namespace qv::server

#endif  // QV_SERVER_HOST_FILES_H_
