// The list-signing key files, on libsodium.
#include "server/signing_key.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/base64.h"
#include "platform/posix/unique_fd.h"
#include "server/host_files.h"

namespace qv::server {
namespace {

Status Errno(const std::string& what) {
  return Status::Error(kErrorAccessDenied, what + ": " + std::strerror(errno));
}

// Writes text to a new file at path (never an existing one) with mode.
Status WriteNewFile(const std::string& path, const std::string& text, mode_t mode) {
  UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  if (fd.get() < 0) return Errno("cannot make " + path);
  if (!WriteAll(fd.get(), text.data(), text.size()) || fsync(fd.get()) != 0 || !fd.Close()) {
    return Errno("cannot write " + path);
  }
  return Status::OK();
}

bool Exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

}  // namespace

Status GenerateSigningKey(const std::string& dir, std::string* public_key_base64) {
  if (sodium_init() < 0) return Status::Error(kErrorInvalidFunction, "libsodium cannot start");
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return Errno("cannot make " + dir);
  const std::string secret_path = dir + "/" + kSigningKeyFileName;
  const std::string public_path = dir + "/" + kPublicKeyFileName;
  for (const std::string& path : {secret_path, public_path}) {
    if (Exists(path)) {
      return Status::Error(kErrorAlreadyExists,
                           path + " is there already; a key pair is never overwritten");
    }
  }
  unsigned char public_key[crypto_sign_PUBLICKEYBYTES];
  unsigned char secret_key[crypto_sign_SECRETKEYBYTES];
  crypto_sign_keypair(public_key, secret_key);
  std::string secret_text =
      Base64Encode({reinterpret_cast<const char*>(secret_key), sizeof(secret_key)}) + "\n";
  sodium_memzero(secret_key, sizeof(secret_key));
  *public_key_base64 = Base64Encode({reinterpret_cast<const char*>(public_key), sizeof(public_key)});
  Status status = WriteNewFile(secret_path, secret_text, 0600);
  sodium_memzero(secret_text.data(), secret_text.size());
  if (!status.ok()) return status;
  status = WriteNewFile(public_path, *public_key_base64 + "\n", 0644);
  if (!status.ok()) unlink(secret_path.c_str());  // no half pair stays
  return status;
}

Status ReadSigningKey(const std::string& path, std::string* secret_key) {
  if (sodium_init() < 0) return Status::Error(kErrorInvalidFunction, "libsodium cannot start");
  std::string text;
  Status status = ReadWholeFile(path, &text);
  if (!status.ok()) return status;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  const bool decoded = Base64Decode(text, secret_key);
  sodium_memzero(text.data(), text.size());
  unsigned char public_key[crypto_sign_PUBLICKEYBYTES];
  if (!decoded || secret_key->size() != crypto_sign_SECRETKEYBYTES ||
      crypto_sign_ed25519_sk_to_pk(
          public_key, reinterpret_cast<const unsigned char*>(secret_key->data())) != 0) {
    return Status::Corrupt(path + " is not a list-signing key (\"qvserver key generate\")");
  }
  // The public half kept in the file must be the one the seed makes.
  unsigned char seed_public[crypto_sign_PUBLICKEYBYTES];
  unsigned char seed_secret[crypto_sign_SECRETKEYBYTES];
  crypto_sign_seed_keypair(seed_public, seed_secret,
                           reinterpret_cast<const unsigned char*>(secret_key->data()));
  sodium_memzero(seed_secret, sizeof(seed_secret));
  if (sodium_memcmp(seed_public, public_key, sizeof(public_key)) != 0) {
    return Status::Corrupt(path + " is not a list-signing key: its halves do not match");
  }
  return Status::OK();
}

}  // namespace qv::server
