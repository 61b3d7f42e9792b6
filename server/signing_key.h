// The server's list-signing key pair: made by "qvserver key generate DIR",
// read by "qvserver serve --signing-key FILE".
//
//   DIR/list-signing.key   the Ed25519 secret key (libsodium's 64 bytes: the
//                          seed, then the public key) as standard base64 on
//                          one line; mode 0600
//   DIR/list-signing.pub   the 32-byte public key as standard base64 on one
//                          line (44 characters): what a client machine's
//                          ListTrustKey holds
#ifndef QV_SERVER_SIGNING_KEY_H_
#define QV_SERVER_SIGNING_KEY_H_

#include <string>

#include "platform/status.h"

namespace qv::server {

inline constexpr char kSigningKeyFileName[] = "list-signing.key";
inline constexpr char kPublicKeyFileName[] = "list-signing.pub";

// Makes a new key pair in dir (made with mode 0700 when missing) and gives
// the public key in base64. Refuses, changing nothing, when either file is
// there already.
Status GenerateSigningKey(const std::string& dir, std::string* public_key_base64);

// Reads a secret key file; *secret_key gets its 64 bytes. Fails for a file
// that is not one base64 line of a secret key whose public half matches.
Status ReadSigningKey(const std::string& path, std::string* secret_key);

}  // namespace qv::server

#endif  // QV_SERVER_SIGNING_KEY_H_
