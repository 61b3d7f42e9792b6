// The next start of a sandbox machine.
//
// Carries out, in the order Windows does, what was left for the next start:
// first the pending renames of the machine's family (NT: the
// PendingFileRenameOperations value under
// HKLM\SYSTEM\CurrentControlSet\Control\Session Manager; 9x: the "[rename]"
// section of wininit.ini in the Windows folder, whose paths are short paths),
// then the values of
// HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\RunOnceEx. Each is cleared
// once it has been taken up (wininit.ini is kept as wininit.bak, as the 9x
// family does). A restart that was requested is taken up and cleared too.
//
// At start no program holds any file, so files in use and the user's rights
// do not stand in the way.
#ifndef QV_PLATFORM_SANDBOX_BOOT_H_
#define QV_PLATFORM_SANDBOX_BOOT_H_

#include <string>
#include <vector>

#include "platform/sandbox/line_spool.h"
#include "platform/sandbox/sandbox_platform.h"

namespace qv::sandbox {

// Each list can be as long as a wininit.ini; a LineSpool keeps it in
// memory only up to a limit.
struct BootReport {
  bool restart_requested = false;  // a restart had been asked for
  LineSpool renames;               // "SOURCE -> TARGET" or "delete SOURCE", in order
  LineSpool run_once;              // the RunOnceEx entries run, in order
  LineSpool problems;              // what could not be carried out, and why
};

// REQUIRES: platform is the machine's platform (its loop and ui may be null).
Status BootMachine(SandboxPlatform* platform, BootReport* report);

}  // namespace qv::sandbox

#endif  // QV_PLATFORM_SANDBOX_BOOT_H_
