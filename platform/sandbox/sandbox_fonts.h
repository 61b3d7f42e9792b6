// SandboxFonts: the fonts added to the running sandbox machine. A running
// system forgets them at its next start (the registry's Fonts keys bring
// them back), so they are kept in memory, with the count of font-change
// broadcasts, for whoever looks at the machine while it runs.
#ifndef QV_PLATFORM_SANDBOX_SANDBOX_FONTS_H_
#define QV_PLATFORM_SANDBOX_SANDBOX_FONTS_H_

#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/fonts.h"

namespace qv::sandbox {

class SandboxFonts : public Fonts {
 public:
  explicit SandboxFonts(FileSystem* files) : files_(files) {}

  // A file that exists counts as one font.
  int AddFontResource(const std::string& path) override {
    uint64_t size = 0;
    if (!files_->GetFileSize(path, &size).ok()) return 0;
    loaded_.push_back(path);
    return 1;
  }
  void BroadcastFontChange() override { ++broadcasts_; }

  const std::vector<std::string>& loaded() const { return loaded_; }
  int broadcasts() const { return broadcasts_; }

 private:
  FileSystem* files_;
  std::vector<std::string> loaded_;
  int broadcasts_ = 0;
};

}  // namespace qv::sandbox

#endif  // QV_PLATFORM_SANDBOX_SANDBOX_FONTS_H_
