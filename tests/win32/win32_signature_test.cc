// Ed25519 on libgcrypt: the RFC 8032 (section 7.1) vectors match, and a
// changed message, signature or key, or a key or signature of the wrong
// size, does not.
#include <gtest/gtest.h>

#include <string>

#include "platform/signature.h"

namespace qv {
namespace {

std::string Bytes(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::string Flipped(std::string bytes, size_t at) {
  bytes[at] = static_cast<char>(bytes[at] ^ 0x01);
  return bytes;
}

// RFC 8032, 7.1, TEST 1 to 3 (also reproduced with libsodium from the
// RFC's secret keys when this table was written).
const std::string kKey1 = Bytes("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
const std::string kSignature1 = Bytes(
    "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e06522490155"
    "5fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b");
const std::string kKey2 = Bytes("3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c");
const std::string kMessage2 = Bytes("72");
const std::string kSignature2 = Bytes(
    "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da"
    "085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00");
const std::string kKey3 = Bytes("fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025");
const std::string kMessage3 = Bytes("af82");
const std::string kSignature3 = Bytes(
    "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac"
    "18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a");

TEST(Win32SignatureTest, MatchesOnlyTheSignedMessageUnderItsKey) {
  struct Case {
    const char* name;
    std::string key;
    std::string message;
    std::string signature;
    SignatureCheck expected;
  } cases[] = {
      {"TEST 1, empty message", kKey1, "", kSignature1, SignatureCheck::kMatches},
      {"TEST 2, one byte", kKey2, kMessage2, kSignature2, SignatureCheck::kMatches},
      {"TEST 3, two bytes", kKey3, kMessage3, kSignature3, SignatureCheck::kMatches},
      {"a message byte flipped", kKey3, Flipped(kMessage3, 1), kSignature3,
       SignatureCheck::kDoesNotMatch},
      {"a byte added to the message", kKey2, kMessage2 + "\n", kSignature2,
       SignatureCheck::kDoesNotMatch},
      {"a byte of R flipped", kKey2, kMessage2, Flipped(kSignature2, 5),
       SignatureCheck::kDoesNotMatch},
      {"a byte of S flipped", kKey2, kMessage2, Flipped(kSignature2, 40),
       SignatureCheck::kDoesNotMatch},
      {"another vector's key", kKey3, kMessage2, kSignature2, SignatureCheck::kDoesNotMatch},
      {"a key byte flipped", Flipped(kKey1, 31), "", kSignature1, SignatureCheck::kDoesNotMatch},
      {"a short key", kKey2.substr(0, 31), kMessage2, kSignature2, SignatureCheck::kDoesNotMatch},
      {"a long key", kKey2 + '\0', kMessage2, kSignature2, SignatureCheck::kDoesNotMatch},
      {"no key", "", kMessage2, kSignature2, SignatureCheck::kDoesNotMatch},
      {"a short signature", kKey2, kMessage2, kSignature2.substr(0, 63),
       SignatureCheck::kDoesNotMatch},
      {"a long signature", kKey2, kMessage2, kSignature2 + '\0', SignatureCheck::kDoesNotMatch},
      {"no signature", kKey1, "", "", SignatureCheck::kDoesNotMatch},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(VerifyEd25519(c.key, c.message, c.signature), c.expected);
  }
}

}  // namespace
}  // namespace qv
