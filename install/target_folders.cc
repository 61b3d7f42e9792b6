// Target folders: the ten folder strings, their creation, and the two token
// tables (install locations and alternative check paths).
#include <cstring>

#include "install/modInstall.h"
#include "platform/platform.h"
#include "system/modRegistry.h"

namespace qv {

thread_local std::string gsDirProgramFiles;
thread_local std::string gsDirOstrel;
thread_local std::string gsDirQuillmark;
thread_local std::string gsDirCommon;
thread_local std::string gsDirBroker;
thread_local std::string gsDirClient;
thread_local std::string gsDirTemp;
thread_local std::string gsDirSystem;
thread_local std::string gsDirWindows;
thread_local std::string gsDirFonts;

namespace {

// The folder buffers the directory queries fill.
constexpr uint32_t kFolderBufferSize = 255;

// The text of a buffer up to its first zero character.
std::string BufferText(const char* buffer, size_t size) {
  return std::string(buffer, strnlen(buffer, size));
}

std::string UpperCase(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

void ReplaceAll(std::string* text, const std::string& from, const std::string& to) {
  size_t pos = 0;
  while ((pos = text->find(from, pos)) != std::string::npos) {
    text->replace(pos, from.size(), to);
    pos += to.size();
  }
}

}  // namespace

void InitFolders() {
  Platform& platform = CurrentPlatform();
  gsDirProgramFiles =
      GetStringValueHKLM("SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir");
  gsDirTemp = gsDirProgramFiles + "\\Ostrel\\Quillmark\\Temp";
  gsDirClient = gsDirProgramFiles + "\\Ostrel\\Quillmark\\Client";
  gsDirBroker = gsDirProgramFiles + "\\Ostrel\\Quillmark\\Broker";
  gsDirCommon = gsDirProgramFiles + "\\Ostrel\\Quillmark\\Common";
  gsDirOstrel = gsDirProgramFiles + "\\Ostrel";
  gsDirQuillmark = gsDirProgramFiles + "\\Ostrel\\Quillmark";

  // One buffer for both queries, zero-filled once: a query whose folder
  // does not fit writes nothing and leaves what the buffer held before.
  char buffer[kFolderBufferSize];
  std::memset(buffer, 0, sizeof(buffer));
  platform.system->GetSystemDirectory(buffer, kFolderBufferSize);
  gsDirSystem = platform.codec->FromAnsi(BufferText(buffer, sizeof(buffer)));
  platform.system->GetWindowsDirectory(buffer, kFolderBufferSize);
  gsDirWindows = platform.codec->FromAnsi(BufferText(buffer, sizeof(buffer)));
  gsDirFonts = gsDirWindows + "\\Fonts";

  // Parents before children; a folder that exists or cannot be made is
  // passed over without a word.
  for (const std::string* folder : {&gsDirProgramFiles, &gsDirOstrel, &gsDirQuillmark,
                                    &gsDirCommon, &gsDirBroker, &gsDirClient, &gsDirTemp}) {
    platform.files->CreateDirectory(*folder);
  }
}

std::string ResolveInstallLocation(const std::string& install_location, bool* is_font) {
  *is_font = false;
  const std::string token = UpperCase(install_location);
  if (token == "QUILLMARKDIR") return gsDirQuillmark;
  if (token == "TEMPDIR") return gsDirTemp;
  if (token == "COMMONDIR") return gsDirCommon;
  if (token == "BROKERDIR") return gsDirBroker;
  if (token == "CLIENTDIR") return gsDirClient;
  if (token == "OSTRELDIR") return gsDirOstrel;
  if (token == "SYSTEMDIR") return gsDirSystem;
  if (token == "WINDOWSDIR") return gsDirWindows;
  if (token == "FONTSDIR") {
    *is_font = true;
    return gsDirFonts;
  }
  return "";
}

std::string ExpandPathTokens(const std::string& alt_check) {
  std::string path = alt_check;
  ReplaceAll(&path, "<SYSTEMDIR>", gsDirSystem);
  ReplaceAll(&path, "<PROGRAMFILES>", gsDirProgramFiles);
  ReplaceAll(&path, "<WINDOWSDIR>", gsDirWindows);
  return path;
}

}  // namespace qv
