// VerifyEd25519 on Windows: the system's cryptography provider has no
// Ed25519, so the check runs on libgcrypt, linked into the library itself.
#include <gcrypt.h>

#include <climits>
#include <memory>
#include <type_traits>

#include "platform/signature.h"

namespace qv {
namespace {

constexpr size_t kHalfSignatureBytes = kEd25519SignatureBytes / 2;

struct SexpRelease {
  void operator()(gcry_sexp_t sexp) const { gcry_sexp_release(sexp); }
};
using Sexp = std::unique_ptr<std::remove_pointer_t<gcry_sexp_t>, SexpRelease>;

// Starts the library, linked into this module alone, once per process;
// false when it cannot start. The version check comes before any other
// call, and a function-local static is set up by one thread while any
// other waits for it.
bool StartLibrary() {
  static const bool started = [] {
    if (gcry_check_version(GCRYPT_VERSION) == nullptr) return false;
    // Only public keys are handled: no secure memory is needed.
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return true;
  }();
  return started;
}

// Builds an S-expression from a format whose arguments are (int length,
// const void* bytes) pairs; empty when the library refuses it (no memory).
template <typename... Args>
Sexp BuildSexp(const char* format, Args... args) {
  gcry_sexp_t sexp = nullptr;
  if (gcry_sexp_build(&sexp, nullptr, format, args...) != 0) return Sexp();
  return Sexp(sexp);
}

}  // namespace

SignatureCheck VerifyEd25519(const std::string& public_key, std::string_view message,
                             const std::string& signature) {
  if (!StartLibrary()) return SignatureCheck::kCannotCheck;
  if (public_key.size() != kEd25519PublicKeyBytes || signature.size() != kEd25519SignatureBytes ||
      message.size() > INT_MAX) {
    return SignatureCheck::kDoesNotMatch;
  }
  const Sexp key = BuildSexp("(public-key (ecc (curve Ed25519) (flags eddsa) (q %b)))",
                             static_cast<int>(public_key.size()), public_key.data());
  const Sexp data = BuildSexp("(data (flags eddsa) (hash-algo sha512) (value %b))",
                              static_cast<int>(message.size()), message.data());
  const Sexp sig = BuildSexp(
      "(sig-val (eddsa (r %b) (s %b)))", static_cast<int>(kHalfSignatureBytes), signature.data(),
      static_cast<int>(kHalfSignatureBytes), signature.data() + kHalfSignatureBytes);
  if (!key || !data || !sig) return SignatureCheck::kDoesNotMatch;
  return gcry_pk_verify(sig.get(), data.get(), key.get()) == 0 ? SignatureCheck::kMatches
                                                               : SignatureCheck::kDoesNotMatch;
}

}  // namespace qv
