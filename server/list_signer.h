// ListSigner: signs the install list documents that GetInstallFiles hands
// out (installlist/list_signature.h), with the key of "serve --signing-key".
//
// A signature names the list's serial (the stored list's generation, which
// grows with every change of any list and never per request) and an expiry
// time validity seconds after it was made.
//
// Safe for concurrent use: a signer does not change after Load.
#ifndef QV_SERVER_LIST_SIGNER_H_
#define QV_SERVER_LIST_SIGNER_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/status.h"

namespace qv::server {

inline constexpr int64_t kDefaultListValiditySeconds = int64_t{7} * 24 * 3600;

class ListSigner {
 public:
  // Reads the secret key file (server/signing_key.h).
  static Status Load(const std::string& key_file, int64_t validity_seconds,
                     std::unique_ptr<ListSigner>* signer);
  ~ListSigner();
  ListSigner(const ListSigner&) = delete;
  ListSigner& operator=(const ListSigner&) = delete;

  // The document again with a "signature" key for serial, expiring
  // validity_seconds after now (unix seconds). Fails for a document that is
  // not a list document.
  Status Sign(const std::string& document, int64_t serial, int64_t now,
              std::string* signed_document) const;

  int64_t validity_seconds() const { return validity_seconds_; }

 private:
  ListSigner(std::string secret_key, int64_t validity_seconds)
      : secret_key_(std::move(secret_key)), validity_seconds_(validity_seconds) {}

  std::string secret_key_;  // libsodium's 64 bytes; wiped when the signer goes
  int64_t validity_seconds_;
};

}  // namespace qv::server

#endif  // QV_SERVER_LIST_SIGNER_H_
