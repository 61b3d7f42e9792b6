// SweepTempLeftovers: removes the temporary files that a failed or killed
// step of an earlier run left in the temp folder.
//
// Every temporary the control writes into the temp folder is named
// "~qv<letter><pid>_<anything>.tmp" ("~qvx" while an archive is expanded,
// "~qvd" while a download is written) and is held open by its writer, so it
// counts as in use for as long as someone still writes it. The sweep deletes
// every such file through the platform's file system; a file in use cannot
// be deleted and stays with its live writer (another control, say). Nothing
// else in the folder is touched, and no failure is reported.
//
// Runs on the control's thread at each start-up, after InitFolders().
#include <string>
#include <vector>

#include "install/modInstall.h"
#include "platform/platform.h"

namespace qv {
namespace {

constexpr char kPrefix[] = "~qv";
constexpr char kSuffix[] = ".tmp";

bool IsAsciiPrefix(const std::string& text, size_t at, const char* part) {
  for (size_t i = 0; part[i] != '\0'; ++i, ++at) {
    if (at >= text.size()) return false;
    char c = text[at];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != part[i]) return false;
  }
  return true;
}

// "~qv*.tmp" in any letter case.
bool IsControlTemporary(const std::string& name) {
  const size_t prefix = sizeof(kPrefix) - 1;
  const size_t suffix = sizeof(kSuffix) - 1;
  return name.size() >= prefix + suffix && IsAsciiPrefix(name, 0, kPrefix) &&
         IsAsciiPrefix(name, name.size() - suffix, kSuffix);
}

}  // namespace

void SweepTempLeftovers() {
  FileSystem* files = CurrentPlatform().files;
  if (files == nullptr || gsDirTemp.empty()) return;
  std::vector<DirEntry> entries;
  if (!files->ListDirectory(gsDirTemp, &entries).ok()) return;
  for (const DirEntry& entry : entries) {
    if (!entry.is_directory && IsControlTemporary(entry.name)) {
      files->DeleteFile(gsDirTemp + "\\" + entry.name);
    }
  }
}

}  // namespace qv
