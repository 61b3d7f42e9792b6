// VerifySignature: checks an Ed25519 signature (RFC 8032, the message
// signed as it is, not a digest of it) against a public key. The backend
// supplies the implementation; one that has no Ed25519 answers kCannotCheck,
// and a caller that must trust what it checks treats that as a refusal.
//
// Safe from any thread.
#ifndef QV_PLATFORM_SIGNATURE_H_
#define QV_PLATFORM_SIGNATURE_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace qv {

inline constexpr size_t kEd25519PublicKeyBytes = 32;
inline constexpr size_t kEd25519SignatureBytes = 64;

enum class SignatureCheck { kMatches, kDoesNotMatch, kCannotCheck };

// public_key and signature are raw bytes; a wrong length does not match.
SignatureCheck VerifyEd25519(const std::string& public_key, std::string_view message,
                             const std::string& signature);

}  // namespace qv

#endif  // QV_PLATFORM_SIGNATURE_H_
