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

// Packs data into a cabinet held in memory, as one entry named name. The
// entry has a fixed date (2000-01-01 00:00), so that the same data makes the
// same bytes in every process: instances behind one balancer hand out one
// file, and a download resumed on another instance continues the same bytes.
Status PackBytes(const std::string& name, const std::string& data, std::string* cabinet);

}  // namespace qv::server

#endif  // QV_SERVER_CAB_PACK_H_
