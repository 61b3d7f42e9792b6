// The errno translation table.
#include "platform/posix/errno_status.h"

#include <cerrno>
#include <cstring>

namespace qv {

uint32_t WinErrorFromErrno(int error_number) {
  switch (error_number) {
    case 0: return kErrorSuccess;
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS: return kErrorAccessDenied;
    case EEXIST: return kErrorAlreadyExists;
    case ENOTEMPTY: return kErrorDirNotEmpty;
    case ENOSPC:
    case EDQUOT: return kErrorDiskFull;
    case ENOMEM: return kErrorNotEnoughMemory;
    case EXDEV: return kErrorNotSameDevice;
    case EBUSY:
    case ETXTBSY:
    case EWOULDBLOCK: return kErrorSharingViolation;
    case ENAMETOOLONG:
    case EINVAL: return kErrorInvalidName;
    case EISDIR: return kErrorAccessDenied;
    case EIO: return kErrorWriteFault;
    case ENOEXEC: return kErrorBadFormat;
    default: return kErrorInvalidFunction;
  }
}

Status PosixError(const std::string& context, int error_number) {
  return Status::Error(WinErrorFromErrno(error_number),
                       context + ": " + std::strerror(error_number));
}

}  // namespace qv
