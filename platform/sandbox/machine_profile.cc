// The machine profile: defaults for a fresh machine, machine.json parsed and
// written, the file read and replaced.
#include "platform/sandbox/machine_profile.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/posix/atomic_file.h"

namespace qv::sandbox {

using Json = nlohmann::ordered_json;

namespace {

const char* kProfileFormat = "qv-machine";
constexpr int kProfileVersion = 1;

// The keys this version reads; any other is kept as it is.
const char* kKnownKeys[] = {"format", "version", "family", "ansi_code_page",
                            "current_drive", "current_directory",
                            "system_directory", "windows_directory",
                            "program_files_directory", "drives", "user",
                            "files_in_use", "memory", "programs"};

Status ProfileError(const std::string& what) {
  return Status::Error(kErrorBadConfiguration, "machine.json: " + what);
}

char UpperLetter(char c) {
  return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

bool IsLetter(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }

Status ReadStringArray(const Json& j, const char* key,
                       std::vector<std::string>* out) {
  out->clear();
  if (!j.contains(key)) return Status::OK();
  if (!j[key].is_array()) return ProfileError(std::string(key) + " must be a list");
  for (const auto& item : j[key]) {
    if (!item.is_string()) {
      return ProfileError(std::string(key) + " must hold texts");
    }
    out->push_back(item.get<std::string>());
  }
  return Status::OK();
}

// "format" and "version": a profile this program can read.
Status CheckFormat(const Json& j) {
  const auto format = j.find("format");
  if (format == j.end() || !format->is_string() ||
      format->get<std::string>() != kProfileFormat) {
    return ProfileError("\"format\" is not \"" + std::string(kProfileFormat) + "\"");
  }
  if (!j.contains("version") || !j["version"].is_number_integer()) {
    return ProfileError("\"version\" is missing");
  }
  if (j["version"].get<int64_t>() > kProfileVersion) {
    return ProfileError("version " + std::to_string(j["version"].get<int64_t>()) +
                        " is newer than this program knows (" +
                        std::to_string(kProfileVersion) + ")");
  }
  return Status::OK();
}

// "family", "ansi_code_page", the current drive and folder, and the
// Windows folders.
Status ParseSystem(const Json& j, MachineProfile* p) {
  const std::string family = j.value("family", std::string("nt"));
  if (family == "nt") {
    p->family = Family::kNt;
  } else if (family == "9x") {
    p->family = Family::k9x;
  } else {
    return ProfileError("\"family\" must be \"nt\" or \"9x\", not \"" + family + "\"");
  }
  p->ansi_code_page = 1252;
  if (j.contains("ansi_code_page")) {
    // A code page is a 16-bit number; anything else is refused before it is
    // converted (a float or a huge number has no value as one).
    const Json& page = j["ansi_code_page"];
    if (!page.is_number_unsigned() || page.get<uint64_t>() == 0 ||
        page.get<uint64_t>() > 65535) {
      return ProfileError("\"ansi_code_page\" must be a whole number from 1 to 65535");
    }
    p->ansi_code_page = static_cast<uint32_t>(page.get<uint64_t>());
  }
  const std::string drive = j.value("current_drive", std::string("C"));
  if (drive.size() != 1 || !IsLetter(drive[0])) {
    return ProfileError("\"current_drive\" must be one letter");
  }
  p->current_drive = UpperLetter(drive[0]);
  p->current_directory = j.value("current_directory", std::string(1, p->current_drive) + ":\\");
  p->system_directory = j.value("system_directory", p->system_directory);
  p->windows_directory = j.value("windows_directory", p->windows_directory);
  p->program_files_directory = j.value("program_files_directory", p->program_files_directory);
  return Status::OK();
}

// "drives": letter -> folder inside the machine root; drive C alone when
// missing. The current drive must be among them.
Status ParseDrives(const Json& j, MachineProfile* p) {
  p->drives.clear();
  if (j.contains("drives")) {
    if (!j["drives"].is_object()) return ProfileError("\"drives\" must be an object");
    for (const auto& [letter, folder] : j["drives"].items()) {
      if (letter.size() != 1 || !IsLetter(letter[0]) || !folder.is_string()) {
        return ProfileError("\"drives\" maps one letter to a folder name");
      }
      const std::string f = folder.get<std::string>();
      if (f.empty() || f[0] == '/' || f.find("..") != std::string::npos) {
        return ProfileError("drive folder \"" + f + "\" must lie inside the machine root");
      }
      p->drives[UpperLetter(letter[0])] = f;
    }
  } else {
    p->drives = {{'C', "drive_c"}};
  }
  if (!p->drives.count(p->current_drive)) {
    return ProfileError("the current drive has no folder");
  }
  return Status::OK();
}

// "user": name, rights and the shutdown privilege.
Status ParseUser(const Json& j, MachineProfile* p) {
  if (!j.contains("user")) return Status::OK();
  const Json& u = j["user"];
  if (!u.is_object()) return ProfileError("\"user\" must be an object");
  p->user_name = u.value("name", p->user_name);
  Status s = ReadStringArray(u, "writable_registry_roots", &p->writable_registry_roots);
  if (!s.ok()) return s;
  s = ReadStringArray(u, "writable_folders", &p->writable_folders);
  if (!s.ok()) return s;
  s = ReadStringArray(u, "protected_folders", &p->protected_folders);
  if (!s.ok()) return s;
  p->shutdown_privilege = u.value("shutdown_privilege", true);
  return Status::OK();
}

// "files_in_use": paths, or {"path", "exclusive"}.
Status ParseFilesInUse(const Json& j, MachineProfile* p) {
  if (!j.contains("files_in_use")) return Status::OK();
  if (!j["files_in_use"].is_array()) return ProfileError("\"files_in_use\" must be a list");
  for (const auto& item : j["files_in_use"]) {
    InUseFile f;
    if (item.is_string()) {
      f.path = item.get<std::string>();
    } else if (item.is_object() && item.contains("path") && item["path"].is_string()) {
      f.path = item["path"].get<std::string>();
      f.exclusive = item.value("exclusive", false);
    } else {
      return ProfileError("\"files_in_use\" holds paths or {\"path\", \"exclusive\"}");
    }
    p->files_in_use.push_back(f);
  }
  return Status::OK();
}

// "memory": what GlobalMemoryStatus reports, when given.
Status ParseMemory(const Json& j, MachineProfile* p) {
  if (!j.contains("memory")) return Status::OK();
  const Json& m = j["memory"];
  if (!m.is_object()) return ProfileError("\"memory\" must be an object");
  MemoryStatus ms;
  ms.memory_load = m.value("memory_load", 0u);
  ms.total_physical = m.value("total_physical", uint64_t{0});
  ms.available_physical = m.value("available_physical", uint64_t{0});
  ms.total_page_file = m.value("total_page_file", uint64_t{0});
  ms.available_page_file = m.value("available_page_file", uint64_t{0});
  ms.total_virtual = m.value("total_virtual", uint64_t{0});
  ms.available_virtual = m.value("available_virtual", uint64_t{0});
  p->memory = ms;
  return Status::OK();
}

// "programs": {"run": false, "exit_codes": {"setup.exe": 3010}}. Without
// it, programs are not run and every one answers 0.
Status ParsePrograms(const Json& j, MachineProfile* p) {
  if (!j.contains("programs")) return Status::OK();
  const Json& programs = j["programs"];
  if (!programs.is_object()) return ProfileError("\"programs\" must be an object");
  if (programs.contains("run") && !programs["run"].is_boolean()) {
    return ProfileError("\"programs.run\" must be true or false");
  }
  p->run_programs = programs.value("run", false);
  if (!programs.contains("exit_codes")) return Status::OK();
  const Json& codes = programs["exit_codes"];
  if (!codes.is_object()) return ProfileError("\"programs.exit_codes\" must be an object");
  for (const auto& [program, code] : codes.items()) {
    // A 32-bit exit code, written as Windows shows it or as a signed number.
    const bool fits = code.is_number_unsigned() ? code.get<uint64_t>() <= 0xFFFFFFFFu
                      : code.is_number_integer()
                          ? code.get<int64_t>() >= -2147483648LL
                          : false;
    if (program.empty() || !fits) {
      return ProfileError("\"programs.exit_codes\" maps a program to a 32-bit exit code (\"" +
                          program + "\")");
    }
    p->program_exit_codes[program] = static_cast<uint32_t>(
        code.is_number_unsigned() ? code.get<uint64_t>()
                                  : static_cast<uint64_t>(code.get<int64_t>()));
  }
  return Status::OK();
}

// The known keys one after the other; the first error wins. A value of the
// wrong type makes the JSON library throw, which is caught here.
Status ParseKnownKeys(const Json& j, MachineProfile* p) {
  try {
    for (Status (*parse)(const Json&, MachineProfile*) :
         {ParseSystem, ParseDrives, ParseUser, ParseFilesInUse, ParseMemory, ParsePrograms}) {
      const Status s = parse(j, p);
      if (!s.ok()) return s;
    }
  } catch (const Json::exception& e) {
    return ProfileError(std::string("a value has the wrong type (") + e.what() + ")");
  }
  return Status::OK();
}

// The keys this version does not know, as a JSON object; "" when none.
std::string UnknownKeys(const Json& j) {
  Json unknown = Json::object();
  for (const auto& item : j.items()) {
    const std::string& key = item.key();
    if (std::find_if(std::begin(kKnownKeys), std::end(kKnownKeys),
                     [&](const char* k) { return key == k; }) == std::end(kKnownKeys)) {
      unknown[key] = item.value();
    }
  }
  return unknown.empty() ? std::string() : unknown.dump();
}

Json UserJson(const MachineProfile& p) {
  Json user;
  user["name"] = p.user_name;
  user["writable_registry_roots"] = p.writable_registry_roots;
  user["writable_folders"] = p.writable_folders;
  user["protected_folders"] = p.protected_folders;
  user["shutdown_privilege"] = p.shutdown_privilege;
  return user;
}

Json FilesInUseJson(const MachineProfile& p) {
  Json in_use = Json::array();
  for (const InUseFile& f : p.files_in_use) {
    if (f.exclusive) {
      in_use.push_back({{"path", f.path}, {"exclusive", true}});
    } else {
      in_use.push_back(f.path);
    }
  }
  return in_use;
}

Json MemoryJson(const MemoryStatus& m) {
  return {{"memory_load", m.memory_load},
          {"total_physical", m.total_physical},
          {"available_physical", m.available_physical},
          {"total_page_file", m.total_page_file},
          {"available_page_file", m.available_page_file},
          {"total_virtual", m.total_virtual},
          {"available_virtual", m.available_virtual}};
}

bool ReadWholeFile(const std::string& host_path, std::string* contents) {
  std::ifstream in(host_path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  *contents = buffer.str();
  return true;
}

}  // namespace

MachineProfile MachineProfile::Default(Family family, bool admin) {
  MachineProfile p;
  p.family = family;
  if (family == Family::kNt) {
    p.windows_directory = "C:\\Windows";
    p.system_directory = "C:\\Windows\\System32";
  } else {
    p.windows_directory = "C:\\WINDOWS";
    p.system_directory = "C:\\WINDOWS\\SYSTEM";
  }
  p.program_files_directory = "C:\\Program Files";
  p.user_name = admin ? "Administrator" : "User";
  p.writable_folders = {"C:\\"};
  if (admin) {
    p.writable_registry_roots = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER",
                                 "HKEY_LOCAL_MACHINE", "HKEY_USERS"};
  } else {
    p.writable_registry_roots = {"HKEY_CURRENT_USER"};
    p.protected_folders = {p.program_files_directory, p.windows_directory};
  }
  p.shutdown_privilege = admin;
  return p;
}

Status ParseProfile(const std::string& json_text, MachineProfile* profile) {
  const Json j = Json::parse(json_text, nullptr, /*allow_exceptions=*/false);
  if (j.is_discarded()) return ProfileError("not valid JSON");
  if (!j.is_object()) return ProfileError("not a JSON object");
  Status s = CheckFormat(j);
  if (!s.ok()) return s;
  MachineProfile p;
  s = ParseKnownKeys(j, &p);
  if (!s.ok()) return s;
  p.unknown_json = UnknownKeys(j);
  *profile = std::move(p);
  return Status::OK();
}

std::string SerializeProfile(const MachineProfile& p) {
  Json j;
  j["format"] = kProfileFormat;
  j["version"] = kProfileVersion;
  j["family"] = p.family == Family::kNt ? "nt" : "9x";
  j["ansi_code_page"] = p.ansi_code_page;
  j["current_drive"] = std::string(1, p.current_drive);
  j["current_directory"] = p.current_directory;
  j["system_directory"] = p.system_directory;
  j["windows_directory"] = p.windows_directory;
  j["program_files_directory"] = p.program_files_directory;
  Json drives = Json::object();
  for (const auto& [letter, folder] : p.drives) drives[std::string(1, letter)] = folder;
  j["drives"] = drives;
  j["user"] = UserJson(p);
  j["files_in_use"] = FilesInUseJson(p);
  if (p.memory) j["memory"] = MemoryJson(*p.memory);
  Json exit_codes = Json::object();
  for (const auto& [program, code] : p.program_exit_codes) exit_codes[program] = code;
  j["programs"] = {{"run", p.run_programs}, {"exit_codes", exit_codes}};
  if (!p.unknown_json.empty()) {
    Json unknown = Json::parse(p.unknown_json, nullptr, false);
    if (unknown.is_object()) {
      for (const auto& [key, value] : unknown.items()) j[key] = value;
    }
  }
  return j.dump(2) + "\n";
}

Status LoadProfileFile(const std::string& host_path, MachineProfile* profile) {
  std::string text;
  if (!ReadWholeFile(host_path, &text)) {
    return Status::Error(kErrorFileNotFound, "cannot read " + host_path);
  }
  return ParseProfile(text, profile);
}

Status SaveProfileFile(const std::string& host_path, const MachineProfile& profile) {
  return WriteFileAtomically(host_path, SerializeProfile(profile));
}

}  // namespace qv::sandbox
