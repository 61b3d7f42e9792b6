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

#include "installlist/install_types.h"

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

// ---- Placement and deferred replacement -----------------------------------

// Puts the staged file source_path in place by its install type (see the
// table in placement.cc); raises gbRebootNeeded when work is left for the
// next start of the machine. Values outside 1..5 do nothing.
void PlaceFile(const std::string& source_path, int16_t install_type,
               const std::string& target_path, const std::string& file_version);

// What became of a replacement.
enum class ReplaceOutcome {
  kReplaced,  // the file is in place now
  kDeferred,  // the target is in use: the file arrives at the next start
  kFailed,    // nothing was placed; an old target is left as it was
};

// Replaces target_path with source_path at once, or at the next start of the
// machine when the target is there and cannot be replaced now (in use). The
// old target is never removed before the new file is in place. kFailed when
// the source is missing, the target cannot be made (folder missing, no
// rights, disk full) or the move for the next start cannot be recorded.
ReplaceOutcome ReplaceTargetFile(const std::string& source_path,
                                 const std::string& target_path);

// Makes room for a new file at path: true when no file is there or the one
// there was deleted; false when a file (or a folder) is there and cannot be
// deleted (it is in use). Presence is judged by existence, so a file held
// exclusively counts as there.
bool ClearTargetFile(const std::string& path);

// Appends "short target=short source" to wininit.ini in the Windows folder,
// under a "[rename]" header written when the file is new; the entry starts a
// line of its own even when the file ends without a line break.
void AddWininitRename(const std::string& source_path,
                      const std::string& target_path);

// Writes "QV" & target_path = target_path & "|DllRegisterServer" into the
// existing RunOnceEx key.
void AddRunOnceExRegistration(const std::string& target_path);

// Runs "<gsDirCommon>\regsvr32.exe" /s "<target_path>" and waits.
void RegisterWithRegsvr32(const std::string& target_path);

// ---- Expansion of compressed files ----------------------------------------

// Unpacks the archive compressed_path into gsDirTemp with the platform's
// expansion component, then deletes the archive. A name ending in ".cmp"
// yields only the file named without it ("x.dll.cmp" yields gsDirTemp &
// "\x.dll"). Returns false, keeps the archive and leaves gsDirTemp as it was
// when that file could not be unpacked whole; *reason (when given) then says
// why.
bool ExpandCompressedFile(const std::string& compressed_path,
                          std::string* reason = nullptr);

// Deletes every "~qv*.tmp" file in gsDirTemp that is not in use: what a
// failed or killed step of an earlier run left. Called at each start-up,
// after InitFolders().
void SweepTempLeftovers();

}  // namespace qv

#endif  // QV_INSTALL_MODINSTALL_H_
