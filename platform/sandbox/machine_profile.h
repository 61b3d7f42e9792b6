// The profile of a sandbox machine: what machine.json in the machine root
// says about it (family, code page, folders, drives, the user's rights,
// files in use, memory), how it is parsed and written, and how the file is
// read and replaced.
#ifndef QV_PLATFORM_SANDBOX_MACHINE_PROFILE_H_
#define QV_PLATFORM_SANDBOX_MACHINE_PROFILE_H_

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/status.h"
#include "platform/system_info.h"

namespace qv::sandbox {

enum class Family { kNt, k9x };

struct InUseFile {
  std::string path;        // Windows path
  bool exclusive = false;  // cannot even be opened for reading
};

struct MachineProfile {
  Family family = Family::kNt;
  uint32_t ansi_code_page = 1252;
  char current_drive = 'C';
  std::string current_directory = "C:\\";
  std::string system_directory = "C:\\Windows\\System32";
  std::string windows_directory = "C:\\Windows";
  std::string program_files_directory = "C:\\Program Files";
  // Drive letter (upper case) -> folder below the machine root.
  std::map<char, std::string> drives = {{'C', "drive_c"}};
  std::string user_name = "Administrator";
  // Registry roots the user may change ("HKEY_LOCAL_MACHINE", ...).
  std::vector<std::string> writable_registry_roots;
  // Folders (Windows paths) below which the user may write, and folders
  // below which the user may not, which wins.
  std::vector<std::string> writable_folders;
  std::vector<std::string> protected_folders;
  std::vector<InUseFile> files_in_use;
  bool shutdown_privilege = true;
  std::optional<MemoryStatus> memory;
  // Whether the programs that a run starts are run on the host. When not
  // (the default), a start is recorded and answered with the exit code
  // listed here for the program, by its file name ("setup.exe") or its
  // Windows path, without regard to case; 0 for a program not listed.
  bool run_programs = false;
  std::map<std::string, uint32_t> program_exit_codes;
  // Keys of machine.json this version does not know; written back unchanged.
  std::string unknown_json;

  static MachineProfile Default(Family family, bool admin);
};

// Parses and writes machine.json.
Status ParseProfile(const std::string& json_text, MachineProfile* profile);
std::string SerializeProfile(const MachineProfile& profile);

// Reads and parses the profile file at host_path: kErrorFileNotFound when it
// cannot be read, otherwise what ParseProfile gives.
Status LoadProfileFile(const std::string& host_path, MachineProfile* profile);
// Replaces the profile file at host_path in one step: a reader finds the old
// profile or the whole new one.
Status SaveProfileFile(const std::string& host_path, const MachineProfile& profile);

}  // namespace qv::sandbox

#endif  // QV_PLATFORM_SANDBOX_MACHINE_PROFILE_H_
