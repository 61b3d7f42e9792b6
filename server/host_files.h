// Host files for the server's tools: reading a file whole, writing one
// atomically (a temporary file beside it, flushed, then renamed over it, so
// that a reader finds the old file or the new one whole), copying one the
// same way, and making folders.
//
// Every function returns false on failure and sets *error to a message that
// names the path. They hold no state and may be called from any thread.
#ifndef QV_SERVER_HOST_FILES_H_
#define QV_SERVER_HOST_FILES_H_

#include <sys/types.h>

#include <string>

namespace qv::server {

bool ReadWholeFile(const std::string& path, std::string* data, std::string* error);

// Writes data to path with the permission bits mode (before the umask).
bool WriteFileAtomically(const std::string& path, const std::string& data, mode_t mode,
                         std::string* error);

// Copies the regular file from to the path to, keeping its permission bits.
bool CopyFileAtomically(const std::string& from, const std::string& to, std::string* error);

// Makes path and every missing folder above it.
bool MakeFolders(const std::string& path, std::string* error);

}  // namespace qv::server

#endif  // QV_SERVER_HOST_FILES_H_
