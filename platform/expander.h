// Expander: the expansion component that unpacks ".cmp" archives.
//
// Driven the way the control drives it: set the destination folder, set the
// archive, then expand. A ".cmp" archive is a Microsoft cabinet (MSZIP
// compression). Entries are written below the destination folder only:
// entries whose names hold "..", a drive or a leading separator are refused,
// and so is an archive that is damaged or whose entries do not match what it
// declares. Every failure comes back as a Status; nothing is thrown.
//
// An expansion is all or nothing: entries are written under temporary names
// ("~qvx<pid>_<n>.tmp", held open while written) and put in place only after
// the whole archive was read; when putting one in place fails, the ones
// already placed are taken back and the files they replaced restored. What
// an archive may yield is bounded, so that a small archive cannot fill the
// disk: one entry at most 512 MiB, all entries together at most 100 times
// the archive's size or 16 MiB, whichever is more.
//
// Used from the UI thread; one Expander per expansion.
//
// Text: folder, archive and entry names are UTF-8 Windows paths and names, as
// FileSystem takes them.
#ifndef QV_PLATFORM_EXPANDER_H_
#define QV_PLATFORM_EXPANDER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/status.h"

namespace qv {

class Expander {
 public:
  virtual ~Expander() = default;
  // The folder (a Windows path, no trailing separator) that receives the
  // archive's files.
  virtual Status SetDestination(const std::string& folder) = 0;
  // The archive to unpack (a Windows path).
  virtual Status SetArchive(const std::string& archive) = 0;
  // Optional: only the archive's first entry of this name (at its top level,
  // any letter case) is written; the others are never written. Expand then
  // fails with ERROR_FILE_NOT_FOUND when the archive holds no such entry.
  virtual Status SetOnlyEntry(const std::string& name) = 0;
  // Unpacks every entry (or the one entry chosen). *files_written counts the
  // files written. An entry that exists in the destination is replaced.
  virtual Status Expand(int32_t* files_written) = 0;
};

}  // namespace qv

#endif  // QV_PLATFORM_EXPANDER_H_
