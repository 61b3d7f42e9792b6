// Module-level values of the control library: one copy per thread.
#include "state/module_state.h"

namespace qv {

thread_local std::string gsCopyFolder;
constinit thread_local bool gbRebootNeeded = false;
constinit thread_local bool gbHasInstallRights = false;

}  // namespace qv
