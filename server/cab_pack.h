// Making ".cmp" archives: Microsoft cabinets with MSZIP compression that
// hold one file under its own name.
//
// The functions hold no state and may be called from any thread.
#ifndef QV_SERVER_CAB_PACK_H_
#define QV_SERVER_CAB_PACK_H_

#include <string>

#include "platform/status.h"

namespace qv::server {

// Packs the host file `file` into the cabinet `out` (written whole or not
// at all), the entry named after the file's own name.
Status PackFile(const std::string& file, const std::string& out);

// Packs data into a cabinet held in memory, as one entry named name (dated
// now).
Status PackBytes(const std::string& name, const std::string& data, std::string* cabinet);

}  // namespace qv::server

#endif  // QV_SERVER_CAB_PACK_H_
