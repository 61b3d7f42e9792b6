// Short paths, the Windows family and running a program to completion: the
// three small platform wrappers of modInstall. They keep no state and report
// failure only through their result.
#include <memory>
#include <string>

#include "install/modInstall.h"
#include "platform/platform.h"

namespace qv {
namespace {

// The short form is received in a 255-character buffer: 254 characters and
// the terminating zero.
constexpr size_t kShortPathBufferSize = 255;

}  // namespace

std::string GetShortPath(const std::string& path) {
  FileSystem* files = CurrentPlatform().files;
  if (files == nullptr) return "";
  std::string short_path;
  if (!files->GetShortPathName(path, &short_path).ok()) return "";
  // A short form that does not fit the buffer is not written at all; such a
  // path has no usable short form here, so the result is empty as for a
  // missing path.
  if (short_path.size() >= kShortPathBufferSize) return "";
  // The result ends at the first zero character.
  const size_t zero = short_path.find('\0');
  if (zero != std::string::npos) short_path.resize(zero);
  return short_path;
}

bool IsWindowsNT() {
  SystemInfo* system = CurrentPlatform().system;
  if (system == nullptr) return false;
  OsVersionInfo info;
  info.os_version_info_size = 148;
  // The result is not examined: a failed query leaves the platform id 0,
  // which counts as not NT.
  system->GetVersionEx(&info);
  return info.platform_id == kVerPlatformWin32Nt;
}

int32_t RunAndWait(const std::string& command_line) {
  ProcessLauncher* processes = CurrentPlatform().processes;
  if (processes == nullptr) return -1;
  // No show-window request: the program's window appears as it chooses.
  std::unique_ptr<Process> process;
  const Status s =
      processes->CreateProcess(command_line, WindowStyle::kDefault, &process);
  if (!s.ok() || process == nullptr) return -1;
  // Exit codes are 32 bits; read as signed, 4294967295 is -1 like a failed
  // start.
  return static_cast<int32_t>(process->Wait());
}

}  // namespace qv
