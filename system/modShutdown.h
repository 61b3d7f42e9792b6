// modShutdown: restarting the machine once an install has left work for its
// next start.
//
// RestartWindows asks the machine to restart (not forced) and returns; on
// the NT family it first enables the shutdown privilege, reporting each step
// that leaves a last-error value in a message box. Nothing here stops the
// restart request or raises an error.
#ifndef QV_SYSTEM_MODSHUTDOWN_H_
#define QV_SYSTEM_MODSHUTDOWN_H_

namespace qv {

void RestartWindows();
void EnableShutdownPrivilege();

}  // namespace qv

#endif  // QV_SYSTEM_MODSHUTDOWN_H_
