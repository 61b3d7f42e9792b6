// VerifyEd25519 on Windows: the system's cryptography provider has no
// Ed25519, so nothing can be checked, and a list that must be trusted is
// refused (see docs/protocol.md, "Signed install lists").
#include "platform/signature.h"

namespace qv {

SignatureCheck VerifyEd25519(const std::string&, std::string_view, const std::string&) {
  return SignatureCheck::kCannotCheck;
}

}  // namespace qv
