// Password hashes and login IDs with libsodium.
#include "server/credentials.h"

#include <sodium.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <semaphore>
#include <thread>

namespace qv::server {

namespace {

// sodium_init is safe to call more than once; this keeps its answer.
bool SodiumReady() {
  static const bool ready = sodium_init() >= 0;
  return ready;
}

// Bounds the password checks that run at once: each holds 64 MiB.
class CheckSlots {
 public:
  CheckSlots()
      : count_(static_cast<int>(
            std::clamp<unsigned>(std::thread::hardware_concurrency(), 1, kMaxSlots))),
        slots_(count_) {}
  void Acquire() { slots_.acquire(); }
  void Release() { slots_.release(); }
  int count() const { return count_; }

 private:
  static constexpr unsigned kMaxSlots = 16;
  const int count_;
  std::counting_semaphore<kMaxSlots> slots_;
};

CheckSlots& Slots() {
  static CheckSlots slots;
  return slots;
}

class SlotHold {
 public:
  SlotHold() { Slots().Acquire(); }
  ~SlotHold() { Slots().Release(); }
  SlotHold(const SlotHold&) = delete;
  SlotHold& operator=(const SlotHold&) = delete;
};

// A hash no password is checked against for real; made once, on first use.
const std::string& DecoyHash() {
  static const std::string hash = [] {
    std::string made;
    HashPassword(NewLoginId(), &made);
    return made;
  }();
  return hash;
}

}  // namespace

Status HashPassword(const std::string& password, std::string* hash) {
  if (!SodiumReady())
    return Status::Error(kErrorInvalidFunction, "the password library cannot start");
  char out[crypto_pwhash_STRBYTES];
  SlotHold hold;
  if (crypto_pwhash_str(out, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                        crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0) {
    return Status::Error(kErrorNotEnoughMemory, "not enough memory to hash the password");
  }
  *hash = out;
  return Status::OK();
}

bool VerifyPassword(const std::string& password, const std::string& hash) {
  if (!SodiumReady() || hash.empty() || hash.size() >= crypto_pwhash_STRBYTES) return false;
  // crypto_pwhash_str_verify wants the hash as a NUL-terminated buffer of
  // its fixed size.
  char stored[crypto_pwhash_STRBYTES] = {};
  std::copy(hash.begin(), hash.end(), stored);
  SlotHold hold;
  return crypto_pwhash_str_verify(stored, password.data(), password.size()) == 0;
}

int PasswordCheckSlots() { return Slots().count(); }

void SpendPasswordCheck(const std::string& password) { VerifyPassword(password, DecoyHash()); }

std::string NewLoginId() {
  if (!SodiumReady()) std::abort();  // no safe source of randomness
  uint8_t bytes[16];
  randombytes_buf(bytes, sizeof(bytes));
  char hex[2 * sizeof(bytes) + 1];
  sodium_bin2hex(hex, sizeof(hex), bytes, sizeof(bytes));
  return hex;
}

std::string TokenHash(const std::string& token) {
  if (!SodiumReady()) std::abort();
  uint8_t digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, reinterpret_cast<const uint8_t*>(token.data()), token.size());
  char hex[2 * sizeof(digest) + 1];
  sodium_bin2hex(hex, sizeof(hex), digest, sizeof(digest));
  return hex;
}

bool SameSecret(const std::string& a, const std::string& b) {
  if (a.size() != b.size() || !SodiumReady()) return false;
  return a.empty() || sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace qv::server
