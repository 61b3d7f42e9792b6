// ctlInit_V3: trusting the install list before anything of it is used.
#include "control/list_trust.h"

#include <string>
#include <utility>

#include "control/ctlInit_V3.h"
#include "installlist/list_signature.h"
#include "platform/base64.h"
#include "platform/platform.h"
#include "platform/signature.h"
#include "platform/wall_clock.h"
#include "system/modRegistry.h"

namespace qv {
namespace {

constexpr char kRefusalTitle[] = "Install list";
constexpr int kRefusalStyle = 16;  // OK button, stop sign

// The decimal number text holds, or -1 when it holds none.
int64_t ParseSerial(const std::string& text) {
  if (text.empty() || text.size() > 18) return -1;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

ListTrustVerdict Refused(std::string reason, int64_t serial = 0) {
  return {false, std::move(reason), serial};
}

}  // namespace

ListTrustVerdict JudgeListTrust(const Recordset& list, const std::string& trust_key,
                                int64_t newest_serial, int64_t now) {
  bool present = false;
  ListSignature signature;
  const Status read = ReadListSignature(list, &present, &signature);
  if (!present) return Refused("it is not signed");
  if (!read.ok()) return Refused("its signature cannot be read");
  std::string public_key;
  if (!Base64Decode(trust_key, &public_key) || public_key.size() != kEd25519PublicKeyBytes) {
    return Refused(std::string("the machine's ") + kTrustKeyValue + " is not a public key");
  }
  const std::string message = ListSignatureMessage(list, signature.serial, signature.expires);
  switch (VerifyEd25519(public_key, message, signature.value)) {
    case SignatureCheck::kCannotCheck:
      return Refused("this system cannot check its signature", signature.serial);
    case SignatureCheck::kDoesNotMatch:
      return Refused("its signature does not match", signature.serial);
    case SignatureCheck::kMatches:
      break;
  }
  int64_t expires = 0;
  (void)ParseUtcTime(signature.expires, &expires);  // checked when read
  if (now >= expires) return Refused("it expired on " + signature.expires, signature.serial);
  if (signature.serial < newest_serial) {
    return Refused("it is older than one already used (serial " +
                       std::to_string(signature.serial) + ", " + std::to_string(newest_serial) +
                       " was used)",
                   signature.serial);
  }
  return {true, "", signature.serial};
}

bool ctlInit_V3::TrustInstallList() {
  const std::string trust_key = GetStringValueHKLM(kTrustRegistryKey, kTrustKeyValue);
  if (trust_key.empty()) return true;
  const int64_t newest = ParseSerial(GetStringValueHKLM(kTrustRegistryKey, kListSerialValue));
  const ListTrustVerdict verdict =
      JudgeListTrust(*mrsInstallList, trust_key, newest, UnixTimeNow());
  if (!verdict.trusted) {
    list_refused_ = true;
    CurrentPlatform().ui->MessageBox(
        "The install list could not be trusted: " + verdict.reason + ".\r\rNothing was installed.",
        kRefusalStyle, kRefusalTitle);
    return false;
  }
  // A user who may not write the key (a restricted one) still gets the run;
  // the serial is then raised by the next run that may. SetStringValueHKLM
  // stores no terminating zero and GetStringValueHKLM takes the last byte
  // for one, so the zero is written as part of the text: the serial reads
  // back whole.
  if (verdict.serial > newest && CreateKeyHKLM(kTrustRegistryKey)) {
    (void)SetStringValueHKLM(kTrustRegistryKey, kListSerialValue,
                             std::to_string(verdict.serial) + std::string(1, '\0'));
  }
  return true;
}

}  // namespace qv
