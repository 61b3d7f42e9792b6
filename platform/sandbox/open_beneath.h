// Opening a path without leaving a folder: how the sandbox keeps every file
// it touches inside the machine's drive folders.
//
// A path is resolved below a folder open at dir_fd: "..", and symbolic links
// on the way, may move about inside the folder but never above it, and an
// absolute link target is refused outright (a link written for the host, not
// for the drive). Links that stay inside keep working. The kernel does the
// resolution where it can (openat2 with RESOLVE_BENEATH); elsewhere a walk
// component by component with O_NOFOLLOW does the same.
#ifndef QV_PLATFORM_SANDBOX_OPEN_BENEATH_H_
#define QV_PLATFORM_SANDBOX_OPEN_BENEATH_H_

#include <sys/types.h>

#include <string>

namespace qv::sandbox {

// Opens rel ("/"-separated, relative; "" is the folder itself) below dir_fd
// with open(2)'s flags and mode. Returns the descriptor, or -1 with errno:
// EXDEV when the path leads out of the folder, ELOOP for a chain of links
// too long (or a link as the last component under O_NOFOLLOW), otherwise
// what open(2) gives. O_CLOEXEC is always added.
int OpenBeneath(int dir_fd, const std::string& rel, int flags, mode_t mode = 0);

// The same with the walk alone, whatever the kernel offers (the tests check
// that both agree).
int OpenBeneathByWalk(int dir_fd, const std::string& rel, int flags, mode_t mode = 0);

// The link through which rel leads out of the folder at dir_fd, as a path
// below the folder, and what it points to; false when rel stays inside (or
// does not exist far enough to tell). For messages: the opens above are what
// enforces.
bool FindEscapingLink(int dir_fd, const std::string& rel, std::string* link,
                      std::string* target);

}  // namespace qv::sandbox

#endif  // QV_PLATFORM_SANDBOX_OPEN_BENEATH_H_
