// Sha256 on libsodium's incremental SHA-256.
#include <sodium.h>

#include "platform/sha256.h"

namespace qv {

struct Sha256::State {
  crypto_hash_sha256_state hash;
  bool ready = false;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  state_->ready = sodium_init() >= 0 && crypto_hash_sha256_init(&state_->hash) == 0;
}

Sha256::~Sha256() = default;

void Sha256::Update(const void* data, size_t size) {
  if (!state_->ready || size == 0) return;
  state_->ready =
      crypto_hash_sha256_update(&state_->hash, static_cast<const unsigned char*>(data), size) == 0;
}

std::string Sha256::FinishHex() {
  unsigned char digest[crypto_hash_sha256_BYTES];
  if (!state_->ready || crypto_hash_sha256_final(&state_->hash, digest) != 0) return "";
  state_->ready = false;
  char hex[crypto_hash_sha256_BYTES * 2 + 1];
  sodium_bin2hex(hex, sizeof(hex), digest, sizeof(digest));
  return hex;
}

}  // namespace qv
