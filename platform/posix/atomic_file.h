// Atomic replacement of a host file.
//
// The new content goes into a temporary file beside the target, under a name
// unique to this writer (process id and a random part, created exclusively),
// is flushed to the disk, renamed over the target, and the folder is flushed
// so that the rename itself survives a crash. A reader finds the old file or
// the whole new one, never a mix; a failure leaves the old file as it was and
// removes the temporary file.
#ifndef QV_PLATFORM_POSIX_ATOMIC_FILE_H_
#define QV_PLATFORM_POSIX_ATOMIC_FILE_H_

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace qv {

// Writes what produce writes into the open descriptor it is given. produce
// returns false, with errno set, when it failed.
Status ReplaceFileAtomically(const std::string& path, mode_t mode,
                             const std::function<bool(int fd)>& produce);

// Writes data as the whole new content of path.
Status WriteFileAtomically(const std::string& path, std::string_view data,
                           mode_t mode = 0644);

// Removes the temporary files that the writers above leave behind when their
// process is killed ("<name>.tmp<pid>_<n>") in folder, and with recursive in
// the folders below it, when process pid no longer runs. A temporary of a
// live process, or of a pid now held by another process, is kept. Returns
// how many were removed.
int SweepDeadTemporaries(const std::string& folder, bool recursive);

}  // namespace qv

#endif  // QV_PLATFORM_POSIX_ATOMIC_FILE_H_
