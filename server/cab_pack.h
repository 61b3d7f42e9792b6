// Making ".cmp" archives: Microsoft cabinets with MSZIP compression that
// hold one file under its own name.
//
// The functions hold no state and may be called from any thread.
#ifndef QV_SERVER_CAB_PACK_H_
#define QV_SERVER_CAB_PACK_H_

#include <string>

namespace qv::server {

// Packs the host file `file` into the cabinet `out` (written whole or not
// at all), the entry named after the file's own name. On failure returns
// false and sets *error to a message that says what went wrong.
bool PackFile(const std::string& file, const std::string& out, std::string* error);

// Packs data into a cabinet held in memory, as one entry named name (dated
// now). On failure returns false and sets *error.
bool PackBytes(const std::string& name, const std::string& data, std::string* cabinet,
               std::string* error);

}  // namespace qv::server

#endif  // QV_SERVER_CAB_PACK_H_
