// Trusting an install list: on a machine whose registry names a public key
// to trust, a list is used only when it carries a signature of that key
// (installlist/list_signature.h) that has not expired and whose serial is
// not below the newest one the machine has used. Without that value every
// list is used, signed or not.
//
//   HKEY_LOCAL_MACHINE\SOFTWARE\Ostrel\Quillmark
//     ListTrustKey   the Ed25519 public key, standard base64 (44 characters)
//     ListSerial     the newest serial used, in decimal
//
// The judgement itself is a plain function of the list, the key, the serial
// and the time; ctlInit_V3::TrustInstallList (control/list_trust.cc) reads
// the registry, shows the refusal and raises ListSerial.
#ifndef QV_CONTROL_LIST_TRUST_H_
#define QV_CONTROL_LIST_TRUST_H_

#include <cstdint>
#include <string>

#include "platform/recordset.h"

namespace qv {

inline constexpr char kTrustRegistryKey[] = "SOFTWARE\\Ostrel\\Quillmark";
inline constexpr char kTrustKeyValue[] = "ListTrustKey";
inline constexpr char kListSerialValue[] = "ListSerial";

struct ListTrustVerdict {
  bool trusted = false;
  // Why the list is refused, to follow "The install list could not be
  // trusted: ".
  std::string reason;
  // The list's serial (when its signature could be read).
  int64_t serial = 0;
};

// Judges list against trust_key (base64, as the registry holds it) at
// unix time now. newest_serial is the newest serial used (-1: none yet).
// The checks go in this order: a signature at all, a readable one, a
// usable trust key, a signature this platform can check, one that matches,
// not expired (expired at its expiry second), a serial from newest_serial
// on (the same serial again is the same list, and is used).
ListTrustVerdict JudgeListTrust(const Recordset& list, const std::string& trust_key,
                                int64_t newest_serial, int64_t now);

}  // namespace qv

#endif  // QV_CONTROL_LIST_TRUST_H_
