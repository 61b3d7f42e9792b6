// A signed install list: the "signature" key that a server with a signing
// key adds to a list document, and the message it signs.
//
//   "signature": {"serial": 7, "expires": "2026-12-14T11:00:00Z",
//                 "value": "<base64 of the 64-byte Ed25519 signature>"}
//
// The signed message is made from the list as a Recordset holds it, never
// from the text it was read from, so that it comes out the same on the
// server that signs, on the client that reads the answer and on a later
// run that opens a saved copy:
//
//   "qv-installlist-signature-v1\n" + serial (decimal) + "\n" + expires + "\n"
//   + Recordset::WriteContentJson (format, version, fields, records; no
//     extra keys, so not the signature itself)
//
// The serial grows each time the server's list of that key name changes;
// expires is when the signature stops counting (UTC, to the second).
// Shared by the server and the control; shows nothing and touches no file.
#ifndef QV_INSTALLLIST_LIST_SIGNATURE_H_
#define QV_INSTALLLIST_LIST_SIGNATURE_H_

#include <cstdint>
#include <string>

#include "platform/recordset.h"
#include "platform/status.h"

namespace qv {

inline constexpr char kListSignatureKey[] = "signature";
inline constexpr char kListSignaturePrefix[] = "qv-installlist-signature-v1\n";

struct ListSignature {
  int64_t serial = 0;
  // "YYYY-MM-DDTHH:MM:SSZ".
  std::string expires;
  // The raw signature bytes (64 for Ed25519).
  std::string value;
};

// The bytes the signature of list with serial and expires covers.
std::string ListSignatureMessage(const Recordset& list, int64_t serial,
                                 const std::string& expires);

// Reads the list's signature key. *present is false when the list has none;
// a key that is there but is not an object with a whole serial from 0, an
// expiry time of the form above and a base64 value is a failure.
Status ReadListSignature(const Recordset& list, bool* present, ListSignature* signature);

// Sets (replaces) the list's signature key.
void SetListSignature(Recordset* list, const ListSignature& signature);

}  // namespace qv

#endif  // QV_INSTALLLIST_LIST_SIGNATURE_H_
