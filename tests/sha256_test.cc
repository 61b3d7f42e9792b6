// SHA-256 of the backend in use (OpenSSL on Linux, the system's provider on
// Windows, where tests/win32 builds this file too): the published test
// vectors, fed whole and in uneven pieces, agree with the one-call digest.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/sha256.h"

namespace qv {
namespace {

// 3 MiB and 17 bytes of i % 251: more than a backend may gather before it
// hashes; its digest is Python's hashlib's.
std::string LongPattern() {
  std::string text(3 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(i % 251);
  return text;
}

TEST(Sha256Test, GivesThePublishedDigestsHoweverTheBytesArrive) {
  struct Case {
    std::string text;
    std::string digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      {LongPattern(), "fe2aaf82bfa2ffec207a0c6fa7ce7d4af268d67e2672fdaec675f3f9b65d0854"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 16) + " (" + std::to_string(c.text.size()) + " bytes)");
    EXPECT_EQ(Sha256Hex(c.text.data(), c.text.size()), c.digest);
    Sha256 pieces;
    size_t offset = 0;
    for (size_t piece = 1; offset < c.text.size(); piece = piece * 3 + 1) {
      const size_t size = std::min(piece, c.text.size() - offset);
      pieces.Update(c.text.data() + offset, size);
      offset += size;
    }
    EXPECT_EQ(pieces.FinishHex(), c.digest);
  }
  // A body given up half-way: the digest is dropped unfinished, and whatever
  // it still had in hand goes with it (no hang, no leak under the sanitizers).
  const std::string text = LongPattern();
  Sha256 abandoned;
  abandoned.Update(text.data(), text.size());
}

}  // namespace
}  // namespace qv
