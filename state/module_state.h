// Module-level values of the control library.
//
// These are the values that several of the control's routines share beyond
// one control instance. Each thread that hosts the control has its own copy,
// shared by every control instance on that thread; another thread never sees
// them. They start empty or false when the thread first touches them and are
// never reset by the library except where the routines that own them say so.
//
// The flags are declared constinit: code in other files then reaches them
// directly instead of through a thread-local initialisation wrapper (whose
// weak, absent init function some sanitizer builds mishandle).
#ifndef QV_STATE_MODULE_STATE_H_
#define QV_STATE_MODULE_STATE_H_

#include <string>

namespace qv {

// The folder picked for copy-only mode, ending in "\"; empty when the folder
// picker was cancelled (or never shown on this thread).
extern thread_local std::string gsCopyFolder;

// Some install step scheduled work for the next start of the machine. Cleared
// by every start-up that gets as far as fetching the install list.
extern constinit thread_local bool gbRebootNeeded;

// The stored answer of the install-rights probe, taken at start-up.
extern constinit thread_local bool gbHasInstallRights;

}  // namespace qv

#endif  // QV_STATE_MODULE_STATE_H_
