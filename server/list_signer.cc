// ListSigner on libsodium's Ed25519.
#include "server/list_signer.h"

#include <sodium.h>

#include <utility>

#include "installlist/list_signature.h"
#include "platform/recordset.h"
#include "platform/wall_clock.h"
#include "server/signing_key.h"

namespace qv::server {

Status ListSigner::Load(const std::string& key_file, int64_t validity_seconds,
                        std::unique_ptr<ListSigner>* signer) {
  std::string secret_key;
  Status status = ReadSigningKey(key_file, &secret_key);
  if (!status.ok()) return status;
  signer->reset(new ListSigner(std::move(secret_key), validity_seconds));
  return Status::OK();
}

ListSigner::~ListSigner() { sodium_memzero(secret_key_.data(), secret_key_.size()); }

Status ListSigner::Sign(const std::string& document, int64_t serial, int64_t now,
                        std::string* signed_document) const {
  Recordset list;
  Status status = list.ParseJson(document);
  if (!status.ok()) return status;
  ListSignature signature;
  signature.serial = serial;
  signature.expires = FormatUtcTime(now + validity_seconds_);
  const std::string message = ListSignatureMessage(list, serial, signature.expires);
  unsigned char value[crypto_sign_BYTES];
  crypto_sign_detached(value, nullptr, reinterpret_cast<const unsigned char*>(message.data()),
                       message.size(), reinterpret_cast<const unsigned char*>(secret_key_.data()));
  signature.value.assign(reinterpret_cast<const char*>(value), sizeof(value));
  SetListSignature(&list, signature);
  *signed_document = list.ToJson();
  return Status::OK();
}

}  // namespace qv::server
