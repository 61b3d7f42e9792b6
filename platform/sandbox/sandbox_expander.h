// SandboxExpander: the expansion component of the sandbox machine, reading
// cabinets with libarchive and writing their files through the machine's
// file system (so that paths, rights and files in use apply).
#ifndef QV_PLATFORM_SANDBOX_SANDBOX_EXPANDER_H_
#define QV_PLATFORM_SANDBOX_SANDBOX_EXPANDER_H_

#include <string>

#include "platform/expander.h"
#include "platform/file_system.h"
#include "platform/sandbox/machine.h"

namespace qv::sandbox {

class SandboxExpander : public Expander {
 public:
  SandboxExpander(Machine* machine, FileSystem* files);

  Status SetDestination(const std::string& folder) override;
  Status SetArchive(const std::string& archive) override;
  Status SetOnlyEntry(const std::string& name) override;
  Status Expand(int32_t* files_written) override;

 private:
  Machine* machine_;
  FileSystem* files_;
  std::string destination_;
  std::string archive_;
  std::string only_entry_;
};

}  // namespace qv::sandbox

#endif  // QV_PLATFORM_SANDBOX_SANDBOX_EXPANDER_H_
