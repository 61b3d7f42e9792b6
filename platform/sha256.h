// Sha256: the SHA-256 digest of bytes fed in pieces, for checking a file
// against the size and digest its install record states while the file
// streams in. The backend supplies the implementation.
//
// One object is used by one thread at a time.
#ifndef QV_PLATFORM_SHA256_H_
#define QV_PLATFORM_SHA256_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace qv {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Update(const void* data, size_t size);
  // The digest of everything fed so far as 64 lowercase hex digits; ends the
  // object's use. "" when the backend could not compute it.
  std::string FinishHex();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The digest of a whole text, as FinishHex gives it.
std::string Sha256Hex(const void* data, size_t size);

}  // namespace qv

#endif  // QV_PLATFORM_SHA256_H_
