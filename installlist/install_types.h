// The install types of the install list: what a record's InstallType number
// asks the run to do with its file. The control places files by them; the
// server writes them into the lists it makes.
#ifndef QV_INSTALLLIST_INSTALL_TYPES_H_
#define QV_INSTALLLIST_INSTALL_TYPES_H_

#include <cstdint>

namespace qv {

constexpr int16_t itReplaceRegister = 1;   // replace, then register the component
constexpr int16_t itReplace = 2;           // replace (at the next start when in use)
constexpr int16_t itRun = 3;               // run the program and wait for it
constexpr int16_t itRunPackage = 4;        // run a package from the runtime table
constexpr int16_t itReplaceVersioned = 5;  // replace and keep a version side file

}  // namespace qv

#endif  // QV_INSTALLLIST_INSTALL_TYPES_H_
