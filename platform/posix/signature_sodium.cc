// VerifyEd25519 on libsodium.
#include <sodium.h>

#include "platform/signature.h"

namespace qv {

static_assert(crypto_sign_PUBLICKEYBYTES == kEd25519PublicKeyBytes);
static_assert(crypto_sign_BYTES == kEd25519SignatureBytes);

SignatureCheck VerifyEd25519(const std::string& public_key, std::string_view message,
                             const std::string& signature) {
  if (sodium_init() < 0) return SignatureCheck::kCannotCheck;
  if (public_key.size() != crypto_sign_PUBLICKEYBYTES || signature.size() != crypto_sign_BYTES) {
    return SignatureCheck::kDoesNotMatch;
  }
  const int verified = crypto_sign_verify_detached(
      reinterpret_cast<const unsigned char*>(signature.data()),
      reinterpret_cast<const unsigned char*>(message.data()), message.size(),
      reinterpret_cast<const unsigned char*>(public_key.data()));
  return verified == 0 ? SignatureCheck::kMatches : SignatureCheck::kDoesNotMatch;
}

}  // namespace qv
