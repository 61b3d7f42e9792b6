// ServedFileCheck: whether a file is the one its install record states, by
// the size and SHA-256 of the file as the server hands it out. Bytes are fed
// as they stream in, so the check costs no second pass over the file.
//
// Used on the control's thread.
#ifndef QV_ENGINE_SERVED_FILE_CHECK_H_
#define QV_ENGINE_SERVED_FILE_CHECK_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/file_system.h"
#include "platform/sha256.h"

namespace qv {

class ServedFileCheck {
 public:
  // size -1 and sha256 "" check nothing; either alone checks that alone.
  ServedFileCheck(int64_t size, const std::string& sha256);

  void Add(const void* data, size_t size);
  // Whether the bytes fed match; true when nothing is checked. Call once.
  bool Matches();

 private:
  int64_t expected_size_;
  std::string expected_sha256_;
  int64_t seen_ = 0;
  std::unique_ptr<Sha256> hash_;
};

// Reads the file at path through files and checks it. False when it does not
// match or cannot be read whole.
bool FileMatches(FileSystem& files, const std::string& path, int64_t size,
                 const std::string& sha256);

}  // namespace qv

#endif  // QV_ENGINE_SERVED_FILE_CHECK_H_
