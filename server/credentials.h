// Credentials: the server's secrets, made and checked with libsodium.
//
// Passwords are kept only as slow salted hashes (Argon2id through
// crypto_pwhash_str, interactive limits): one text that holds the algorithm,
// its settings and the salt. Checking a password costs about a tenth of a
// second and 64 MiB of memory, so at most as many checks as the machine has
// processors run at the same time; further callers wait their turn.
//
// Login IDs are 128 random bits from the system's generator, written as 32
// lower-case hex digits: nothing about them can be guessed from earlier ones.
//
// All functions are safe to call from any thread.
#ifndef QV_SERVER_CREDENTIALS_H_
#define QV_SERVER_CREDENTIALS_H_

#include <string>

#include "platform/status.h"

namespace qv::server {

// The hash text of password. Fails when libsodium cannot start, or the
// memory for the hash is lacking.
Status HashPassword(const std::string& password, std::string* hash);

// Whether password matches a hash made by HashPassword. A damaged hash
// matches nothing.
bool VerifyPassword(const std::string& password, const std::string& hash);

// How many password checks may run at once (hashing included).
int PasswordCheckSlots();

// Spends the time of one password check without any stored hash, so that a
// login of an unknown user takes as long as one with a wrong password.
void SpendPasswordCheck(const std::string& password);

// A new login ID: 32 lower-case hex digits. Also the console's session IDs
// and form tokens.
std::string NewLoginId();

// The SHA-256 of a random token as 64 hex digits, kept in the token's
// place: a copy of the database holds no token that works.
std::string TokenHash(const std::string& token);

// Whether a and b are equal, in a time that does not say where they differ.
bool SameSecret(const std::string& a, const std::string& b);

}  // namespace qv::server

#endif  // QV_SERVER_CREDENTIALS_H_
