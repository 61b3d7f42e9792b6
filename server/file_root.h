// FileRoot: the folder whose files the server hands out by GET, and the rules
// that keep every request inside it.
//
// A request path is taken apart at "/" (after percent-decoding); every part
// must be a plain name: not empty, not "." or "..", without "\" or NUL. A
// path that breaks these rules is refused, whatever lies on the disk. A
// path that passes is resolved with every symbolic link followed, and must
// still end up inside the root (a link that points elsewhere counts as
// missing), at a regular file.
//
// A FileRoot is immutable after Open and safe to use from any thread.
#ifndef QV_SERVER_FILE_ROOT_H_
#define QV_SERVER_FILE_ROOT_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/status.h"

namespace qv::server {

// Whether relative is a path of plain names joined by "/" (the rules above;
// no leading "/"); when it is not, the message says what is wrong.
Status CheckPlainRelativePath(const std::string& relative);

// An open file descriptor, closed when the object goes.
class FileHandle {
 public:
  explicit FileHandle(int fd) : fd_(fd) {}
  ~FileHandle();
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

class FileRoot {
 public:
  // Fails when dir is not a folder that can be read.
  static Status Open(const std::string& dir, std::unique_ptr<FileRoot>* root);

  enum class Lookup { kFound, kNotFound, kRefused };
  // Opens the file that url_path (decoded, starting with "/") names. On
  // kFound, *file is open for reading and *size is its length.
  Lookup OpenFile(const std::string& url_path, std::shared_ptr<FileHandle>* file,
                  uint64_t* size) const;

  // The root, with every link resolved.
  const std::string& path() const { return real_root_; }

 private:
  explicit FileRoot(std::string real_root) : real_root_(std::move(real_root)) {}
  std::string real_root_;
};

}  // namespace qv::server

#endif  // QV_SERVER_FILE_ROOT_H_
