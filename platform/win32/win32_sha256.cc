// Sha256 on the system's cryptographic provider (CryptoAPI, the AES
// provider type, which carries SHA-256).
#include "platform/sha256.h"
#include "platform/win32/windows_api.h"

namespace qv {

struct Sha256::State {
  HCRYPTPROV provider = 0;
  HCRYPTHASH hash = 0;
  bool ready = false;

  ~State() {
    if (hash != 0) CryptDestroyHash(hash);
    if (provider != 0) CryptReleaseContext(provider, 0);
  }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  state_->ready =
      CryptAcquireContextA(&state_->provider, nullptr, nullptr, PROV_RSA_AES,
                           CRYPT_VERIFYCONTEXT | CRYPT_SILENT) &&
      CryptCreateHash(state_->provider, CALG_SHA_256, 0, 0, &state_->hash);
}

Sha256::~Sha256() = default;

void Sha256::Update(const void* data, size_t size) {
  const BYTE* bytes = static_cast<const BYTE*>(data);
  // CryptHashData takes a 32-bit count.
  constexpr size_t kMaxPiece = 1u << 30;
  while (state_->ready && size > 0) {
    const size_t piece = size < kMaxPiece ? size : kMaxPiece;
    state_->ready = CryptHashData(state_->hash, bytes, static_cast<DWORD>(piece), 0) != FALSE;
    bytes += piece;
    size -= piece;
  }
}

std::string Sha256::FinishHex() {
  BYTE digest[32];
  DWORD length = sizeof(digest);
  if (!state_->ready ||
      !CryptGetHashParam(state_->hash, HP_HASHVAL, digest, &length, 0) || length != 32) {
    return "";
  }
  state_->ready = false;
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (BYTE b : digest) {
    hex += kHex[b >> 4];
    hex += kHex[b & 15];
  }
  return hex;
}

}  // namespace qv
