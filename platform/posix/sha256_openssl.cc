// Sha256 on OpenSSL's message digests, which use the processor's SHA
// instructions where it has them (several times the speed of a portable
// implementation). A body that streams in is hashed on a thread of the
// object's own, a mebibyte at a time, so that checking a large download does
// not slow the thread that receives and writes it; a file smaller than that
// is hashed when it is finished, with no thread at all.
#include <openssl/evp.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/sha256.h"

namespace qv {
namespace {

constexpr size_t kPieceBytes = 1 << 20;
constexpr size_t kPiecesInFlight = 2;  // bounds the memory held: about 3 MiB

struct ContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

}  // namespace

struct Sha256::State {
  std::unique_ptr<EVP_MD_CTX, ContextFree> context;
  bool ready = false;        // the digest can still be had
  std::vector<unsigned char> filling;

  // Pieces handed to the hashing thread; guarded by mutex.
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::vector<unsigned char>> pieces;
  bool closing = false;
  bool failed = false;
  std::thread hasher;

  void HashPieces() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      changed.wait(lock, [this] { return closing || !pieces.empty(); });
      if (pieces.empty()) return;
      std::vector<unsigned char> piece = std::move(pieces.front());
      lock.unlock();
      const bool ok = EVP_DigestUpdate(context.get(), piece.data(), piece.size()) == 1;
      lock.lock();
      pieces.pop_front();
      failed = failed || !ok;
      changed.notify_all();
    }
  }

  // Hands the filled piece to the thread, starting it the first time, and
  // waits while too many are in flight.
  void HandOver() {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [this] { return pieces.size() < kPiecesInFlight; });
    pieces.push_back(std::move(filling));
    filling = std::vector<unsigned char>();
    filling.reserve(kPieceBytes);
    changed.notify_all();
    lock.unlock();
    if (!hasher.joinable()) hasher = std::thread([this] { HashPieces(); });
  }

  // Ends the thread once it has hashed what it was handed; whether it all
  // went into the digest.
  bool Drain() {
    if (!hasher.joinable()) return true;
    {
      std::lock_guard<std::mutex> lock(mutex);
      closing = true;
      changed.notify_all();
    }
    hasher.join();
    return !failed;
  }

  ~State() { Drain(); }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  state_->context.reset(EVP_MD_CTX_new());
  state_->ready = state_->context != nullptr &&
                  EVP_DigestInit_ex(state_->context.get(), EVP_sha256(), nullptr) == 1;
}

Sha256::~Sha256() = default;

void Sha256::Update(const void* data, size_t size) {
  if (!state_->ready || size == 0) return;
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    if (state_->filling.capacity() < kPieceBytes) state_->filling.reserve(kPieceBytes);
    const size_t room = kPieceBytes - state_->filling.size();
    const size_t take = size < room ? size : room;
    state_->filling.insert(state_->filling.end(), bytes, bytes + take);
    bytes += take;
    size -= take;
    if (state_->filling.size() == kPieceBytes) state_->HandOver();
  }
}

std::string Sha256::FinishHex() {
  if (!state_->ready) return "";
  state_->ready = false;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!state_->Drain() ||
      EVP_DigestUpdate(state_->context.get(), state_->filling.data(), state_->filling.size()) !=
          1 ||
      EVP_DigestFinal_ex(state_->context.get(), digest, &length) != 1) {
    return "";
  }
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
