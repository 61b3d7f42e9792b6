// Expander: the expansion component that unpacks ".cmp" archives.
//
// Driven the way the control drives it: set the destination folder, set the
// archive, then expand. A ".cmp" archive is a Microsoft cabinet (MSZIP
// compression). Entries are written below the destination folder only:
// entries whose names hold "..", a drive or a leading separator are refused,
// and so is an archive that is damaged or whose entries do not match what it
// declares. Every failure comes back as a Status; nothing is thrown.
//
// Used from the UI thread; one Expander per expansion.
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
  // Unpacks every entry. *files_written counts the files written. An entry
  // that exists in the destination is replaced.
  virtual Status Expand(int32_t* files_written) = 0;
};

}  // namespace qv

#endif  // QV_PLATFORM_EXPANDER_H_
