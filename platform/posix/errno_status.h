// Errno to Status: how the Linux backends report a failed system call.
//
// A failure of the host's C library is translated into the Windows error code
// that the same failure gives on Windows, so that the core sees one set of
// codes whatever machine it runs on.
#ifndef QV_PLATFORM_POSIX_ERRNO_STATUS_H_
#define QV_PLATFORM_POSIX_ERRNO_STATUS_H_

#include <cstdint>
#include <string>

#include "platform/status.h"

namespace qv {

// The Windows error code of a POSIX errno value.
uint32_t WinErrorFromErrno(int error_number);

// An error Status from an errno value, keeping the context.
Status PosixError(const std::string& context, int error_number);

}  // namespace qv

#endif  // QV_PLATFORM_POSIX_ERRNO_STATUS_H_
