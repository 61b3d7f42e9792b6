// modInstall: what it takes to put one file in place.
//
// Target folders and their tokens, the installed version of a file and the
// comparison of versions, short paths, the Windows family and running a
// program to completion. All of it reaches the machine through the current
// platform (platform/platform.h) and reports failure only through its result.
//
// The folder strings are module-level values: one copy per thread that hosts
// the control, shared by every control instance on that thread. None of them
// ends with a path separator.
#ifndef QV_INSTALL_MODINSTALL_H_
#define QV_INSTALL_MODINSTALL_H_

#include <cstdint>
#include <string>

namespace qv {

// ---- Target folders -------------------------------------------------------

extern thread_local std::string gsDirProgramFiles;
extern thread_local std::string gsDirOstrel;
extern thread_local std::string gsDirQuillmark;
extern thread_local std::string gsDirCommon;
extern thread_local std::string gsDirBroker;
extern thread_local std::string gsDirClient;
extern thread_local std::string gsDirTemp;
extern thread_local std::string gsDirSystem;
extern thread_local std::string gsDirWindows;
extern thread_local std::string gsDirFonts;

// Resolves the ten folder strings and creates the product folders (one level
// each, parents first). Failures while creating are ignored.
void InitFolders();

// The folder of an InstallLocation token: the value is upper-cased (not
// trimmed) and compared with the nine tokens in order. *is_font is set when
// the token is FONTSDIR. No match gives "".
std::string ResolveInstallLocation(const std::string& install_location,
                                   bool* is_font);

// Replaces "<SYSTEMDIR>", then "<PROGRAMFILES>", then "<WINDOWSDIR>" (exact
// case, every occurrence) in an alternative check path.
std::string ExpandPathTokens(const std::string& alt_check);

// ---- Version check --------------------------------------------------------

// The version of the file at path: from its version resource, else from the
// side file path & ".ver", else "".
std::string GetFileVersionString(const std::string& path);

// Splits an unsigned 32-bit value into its low and high 16 bits.
void SplitDWord(uint32_t value, uint32_t* low_word, uint32_t* high_word);

// The comparable number of a version text (0 for text that is not a
// version).
double VersionToNumber(const std::string& version);

// True when new_version's number is greater than current_version's.
bool IsNewerVersion(const std::string& current_version,
                    const std::string& new_version);

// ---- Process launch and system queries ------------------------------------

// The short (8.3) form of an existing path; "" when there is none or it would
// not fit in 254 characters.
std::string GetShortPath(const std::string& path);

// True on the NT family. Asked anew at every call.
bool IsWindowsNT();

// Runs the command line, waits for the program to end and returns its exit
// code; -1 when the program cannot be started.
int32_t RunAndWait(const std::string& command_line);

}  // namespace qv

#endif  // QV_INSTALL_MODINSTALL_H_
