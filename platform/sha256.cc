// The one-call digest, the same for every backend.
#include "platform/sha256.h"

namespace qv {

std::string Sha256Hex(const void* data, size_t size) {
  Sha256 hash;
  hash.Update(data, size);
  return hash.FinishHex();
}

}  // namespace qv
