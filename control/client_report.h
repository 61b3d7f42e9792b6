// The client report that StartupV2 sends to the server with the login notes:
// the machine's memory figures and whether the user may install.
#ifndef QV_CONTROL_CLIENT_REPORT_H_
#define QV_CONTROL_CLIENT_REPORT_H_

#include <string>

#include "platform/system_info.h"

namespace qv {

// Eight lines, each ending in CR LF. The figures are written as signed 32-bit
// numbers, as the memory status record holds them: a figure of 2^31 or more
// comes out negative, and one of 2^32 or more is reported as 2^32 - 1 (-1),
// as the platform caps it.
std::string BuildClientReport(const MemoryStatus& memory, bool has_install_rights);

}  // namespace qv

#endif  // QV_CONTROL_CLIENT_REPORT_H_
