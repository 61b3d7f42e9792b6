// Sha256 on OpenSSL's message digests, which use the processor's SHA
// instructions where it has them: several times the speed of a portable
// implementation, so that checking a body as it streams in costs a large
// download little.
#include <openssl/evp.h>

#include "platform/sha256.h"

namespace qv {

struct Sha256::State {
  struct ContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
  };
  std::unique_ptr<EVP_MD_CTX, ContextFree> context;
  bool ready = false;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  state_->context.reset(EVP_MD_CTX_new());
  state_->ready = state_->context != nullptr &&
                  EVP_DigestInit_ex(state_->context.get(), EVP_sha256(), nullptr) == 1;
}

Sha256::~Sha256() = default;

void Sha256::Update(const void* data, size_t size) {
  if (!state_->ready || size == 0) return;
  state_->ready = EVP_DigestUpdate(state_->context.get(), data, size) == 1;
}

std::string Sha256::FinishHex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!state_->ready || EVP_DigestFinal_ex(state_->context.get(), digest, &length) != 1) {
    return "";
  }
  state_->ready = false;
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

}  // namespace qv
