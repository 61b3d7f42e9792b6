// The signature key of an install list document and its signed message.
#include "installlist/list_signature.h"

#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>

#include "platform/base64.h"
#include "platform/wall_clock.h"

namespace qv {

std::string ListSignatureMessage(const Recordset& list, int64_t serial,
                                 const std::string& expires) {
  std::string message = kListSignaturePrefix;
  message += std::to_string(serial) + "\n" + expires + "\n";
  (void)list.WriteContentJson([&](std::string_view piece) {
    message.append(piece);
    return Status::OK();
  });
  return message;
}

Status ReadListSignature(const Recordset& list, bool* present, ListSignature* signature) {
  *signature = ListSignature();
  const std::string* text = list.ExtraKey(kListSignatureKey);
  *present = text != nullptr;
  if (text == nullptr) return Status::OK();
  auto malformed = [](const std::string& why) {
    return Status::Corrupt("the list's signature is malformed: " + why);
  };
  const nlohmann::json value = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
  if (!value.is_object()) return malformed("not an object");
  const auto serial = value.find("serial");
  if (serial == value.end() || !serial->is_number_unsigned() ||
      serial->get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    return malformed("no whole \"serial\" from 0");
  }
  const auto expires = value.find("expires");
  int64_t ignored = 0;
  if (expires == value.end() || !expires->is_string() ||
      !ParseUtcTime(expires->get<std::string>(), &ignored)) {
    return malformed("no \"expires\" time");
  }
  const auto signed_value = value.find("value");
  if (signed_value == value.end() || !signed_value->is_string() ||
      !Base64Decode(signed_value->get<std::string>(), &signature->value)) {
    return malformed("no base64 \"value\"");
  }
  signature->serial = static_cast<int64_t>(serial->get<uint64_t>());
  signature->expires = expires->get<std::string>();
  return Status::OK();
}

void SetListSignature(Recordset* list, const ListSignature& signature) {
  nlohmann::ordered_json value;
  value["serial"] = signature.serial;
  value["expires"] = signature.expires;
  value["value"] = Base64Encode(signature.value);
  list->SetExtraKey(kListSignatureKey, value.dump());
}

}  // namespace qv
