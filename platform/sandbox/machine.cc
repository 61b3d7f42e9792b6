// Machine: the profile, the mapping of Windows paths onto the host, short
// names, rights and files in use.
#include "platform/sandbox/machine.h"

#include <dirent.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/posix/errno_status.h"

namespace qv::sandbox {

using Json = nlohmann::ordered_json;

namespace {

constexpr size_t kMaxPath = 260;  // MAX_PATH, terminating zero included

const char* kProfileFormat = "qv-machine";
constexpr int kProfileVersion = 1;

bool IsDirectory(const std::string& host_path) {
  struct stat st;
  return ::stat(host_path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool PathExists(const std::string& host_path) {
  struct stat st;
  return ::lstat(host_path.c_str(), &st) == 0;
}

std::string UpperAscii(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

bool ReadWholeFile(const std::string& host_path, std::string* contents) {
  std::ifstream in(host_path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  *contents = buffer.str();
  return true;
}

std::string RegistryRootName(uint32_t root) {
  switch (root) {
    case 0x80000000u: return "HKEY_CLASSES_ROOT";
    case 0x80000001u: return "HKEY_CURRENT_USER";
    case 0x80000002u: return "HKEY_LOCAL_MACHINE";
    case 0x80000003u: return "HKEY_USERS";
    default: return "";
  }
}

// Device names that Windows reserves in every folder.
bool IsReservedDeviceName(const std::string& component) {
  std::string base = UpperAscii(component.substr(0, component.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  static const char* kNames[] = {"CON", "PRN", "AUX", "NUL"};
  for (const char* n : kNames) {
    if (base == n) return true;
  }
  if (base.size() == 4 && (base.compare(0, 3, "COM") == 0 ||
                           base.compare(0, 3, "LPT") == 0)) {
    return base[3] >= '1' && base[3] <= '9';
  }
  return false;
}

bool IsInvalidNameChar(unsigned char c) {
  return c < 0x20 || std::strchr("<>:\"|?*", c) != nullptr;
}

// One use of a statement the machine keeps prepared (Machine::Prepared):
// binds, steps, and leaves it reset for the next use.
class Statement {
 public:
  explicit Statement(sqlite3_stmt* stmt) : stmt_(stmt) {}
  ~Statement() {
    if (stmt_) {
      sqlite3_reset(stmt_);
      sqlite3_clear_bindings(stmt_);
    }
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return stmt_ != nullptr; }
  void Bind(int i, const std::string& text) {
    if (stmt_) sqlite3_bind_text(stmt_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }
  void Bind(int i, int64_t value) {
    if (stmt_) sqlite3_bind_int64(stmt_, i, value);
  }
  // SQLITE_ROW, SQLITE_DONE or an error.
  int Step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_ERROR; }
  std::string Text(int column) const {
    const unsigned char* t = sqlite3_column_text(stmt_, column);
    return t ? std::string(reinterpret_cast<const char*>(t),
                           sqlite3_column_bytes(stmt_, column))
             : std::string();
  }
  int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

// Decodes one UTF-8 sequence at s[i]; returns the code point and advances i.
uint32_t DecodeUtf8(const std::string& s, size_t* i) {
  const unsigned char c = s[*i];
  if (c < 0x80 || *i + 1 >= s.size()) {
    ++*i;
    return c;
  }
  if ((c >> 5) == 0x6) {
    uint32_t cp = ((c & 0x1F) << 6) | (static_cast<unsigned char>(s[*i + 1]) & 0x3F);
    *i += 2;
    return cp;
  }
  ++*i;
  return c | 0x110000;  // marks a byte that is kept as it is
}

void EncodeUtf8(uint32_t cp, std::string* out) {
  if (cp >= 0x110000) {
    out->push_back(static_cast<char>(cp & 0xFF));
  } else if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

// ---- Names -----------------------------------------------------------------

std::string FoldCase(const std::string& name) {
  std::string out;
  out.reserve(name.size());
  size_t i = 0;
  while (i < name.size()) {
    uint32_t cp = DecodeUtf8(name, &i);
    if (cp >= 'a' && cp <= 'z') {
      cp -= 0x20;
    } else if (cp >= 0xE0 && cp <= 0xFE && cp != 0xF7) {
      cp -= 0x20;
    }
    EncodeUtf8(cp, &out);
  }
  return out;
}

bool NamesEqual(const std::string& a, const std::string& b) {
  return FoldCase(a) == FoldCase(b);
}

namespace {

bool IsShortNameChar(unsigned char c) {
  if (c >= 0x80) return false;
  if (std::isalnum(c)) return true;
  return std::strchr("!#$%&'()-@^_`{}~", c) != nullptr;
}

}  // namespace

bool IsValidShortName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  const size_t dot = name.find('.');
  const std::string base = name.substr(0, dot);
  const std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  if (base.empty() || base.size() > 8 || ext.size() > 3) return false;
  if (dot != std::string::npos && ext.empty()) return false;
  if (ext.find('.') != std::string::npos) return false;
  for (unsigned char c : base) {
    if (!IsShortNameChar(c)) return false;
  }
  for (unsigned char c : ext) {
    if (!IsShortNameChar(c)) return false;
  }
  return true;
}

std::string ShortNameCandidate(const std::string& long_name, int n) {
  // Characters a short name may not hold become "_"; blanks and dots other
  // than the one before the extension are left out.
  auto clean = [](const std::string& part) {
    std::string out;
    for (unsigned char c : part) {
      if (c == ' ' || c == '.') continue;
      if (c >= 0x80) {
        // One "_" for each UTF-8 sequence.
        if ((c & 0xC0) == 0x80) continue;
        out.push_back('_');
        continue;
      }
      if (IsShortNameChar(c)) {
        out.push_back(static_cast<char>(std::toupper(c)));
      } else {
        out.push_back('_');
      }
    }
    return out;
  };
  std::string trimmed = long_name;
  size_t lead = trimmed.find_first_not_of('.');
  trimmed = lead == std::string::npos ? "" : trimmed.substr(lead);
  const size_t dot = trimmed.rfind('.');
  std::string base = clean(dot == std::string::npos ? trimmed : trimmed.substr(0, dot));
  std::string ext = dot == std::string::npos ? "" : clean(trimmed.substr(dot + 1));
  if (ext.size() > 3) ext.resize(3);
  if (base.empty()) base = "_";

  std::string name;
  if (n <= 4) {
    name = base.substr(0, 6) + "~" + std::to_string(n);
  } else {
    // Past four tries Windows mixes a checksum of the long name into the
    // short one so that crowded folders stay quick to search.
    uint16_t hash = 0;
    for (unsigned char c : long_name) {
      hash = static_cast<uint16_t>((hash * 37u + c) ^ (hash >> 11));
    }
    char hex[5];
    std::snprintf(hex, sizeof(hex), "%04X", hash);
    std::string tail = "~" + std::to_string(n - 4);
    std::string head = base.substr(0, 2) + hex;
    if (head.size() + tail.size() > 8) head.resize(8 - tail.size());
    name = head + tail;
  }
  if (!ext.empty()) name += "." + ext;
  return name;
}

// ---- Profile ---------------------------------------------------------------

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

namespace {

Status ProfileError(const std::string& what) {
  return Status::Error(kErrorBadConfiguration, "machine.json: " + what);
}

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

}  // namespace

Status ParseProfile(const std::string& json_text, MachineProfile* profile) {
  Json j = Json::parse(json_text, nullptr, /*allow_exceptions=*/false);
  if (j.is_discarded()) return ProfileError("not valid JSON");
  if (!j.is_object()) return ProfileError("not a JSON object");
  if (j.value("format", std::string()) != kProfileFormat) {
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
  MachineProfile p;
  try {
    const std::string family = j.value("family", std::string("nt"));
    if (family == "nt") {
      p.family = Family::kNt;
    } else if (family == "9x") {
      p.family = Family::k9x;
    } else {
      return ProfileError("\"family\" must be \"nt\" or \"9x\", not \"" + family + "\"");
    }
    p.ansi_code_page = j.value("ansi_code_page", 1252u);
    const std::string drive = j.value("current_drive", std::string("C"));
    if (drive.size() != 1 || !std::isalpha(static_cast<unsigned char>(drive[0]))) {
      return ProfileError("\"current_drive\" must be one letter");
    }
    p.current_drive = static_cast<char>(std::toupper(static_cast<unsigned char>(drive[0])));
    p.current_directory = j.value("current_directory", std::string(1, p.current_drive) + ":\\");
    p.system_directory = j.value("system_directory", p.system_directory);
    p.windows_directory = j.value("windows_directory", p.windows_directory);
    p.program_files_directory = j.value("program_files_directory", p.program_files_directory);
    p.drives.clear();
    if (j.contains("drives")) {
      if (!j["drives"].is_object()) return ProfileError("\"drives\" must be an object");
      for (const auto& [letter, folder] : j["drives"].items()) {
        if (letter.size() != 1 || !std::isalpha(static_cast<unsigned char>(letter[0])) ||
            !folder.is_string()) {
          return ProfileError("\"drives\" maps one letter to a folder name");
        }
        const std::string f = folder.get<std::string>();
        if (f.empty() || f[0] == '/' || f.find("..") != std::string::npos) {
          return ProfileError("drive folder \"" + f + "\" must lie inside the machine root");
        }
        p.drives[static_cast<char>(std::toupper(static_cast<unsigned char>(letter[0])))] = f;
      }
    } else {
      p.drives = {{'C', "drive_c"}};
    }
    if (!p.drives.count(p.current_drive)) {
      return ProfileError("the current drive has no folder");
    }
    if (j.contains("user")) {
      const Json& u = j["user"];
      if (!u.is_object()) return ProfileError("\"user\" must be an object");
      p.user_name = u.value("name", p.user_name);
      Status s = ReadStringArray(u, "writable_registry_roots", &p.writable_registry_roots);
      if (!s.ok()) return s;
      s = ReadStringArray(u, "writable_folders", &p.writable_folders);
      if (!s.ok()) return s;
      s = ReadStringArray(u, "protected_folders", &p.protected_folders);
      if (!s.ok()) return s;
      p.shutdown_privilege = u.value("shutdown_privilege", true);
    }
    if (j.contains("files_in_use")) {
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
        p.files_in_use.push_back(f);
      }
    }
    if (j.contains("memory")) {
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
      p.memory = ms;
    }
  } catch (const Json::exception& e) {
    return ProfileError(std::string("a value has the wrong type (") + e.what() + ")");
  }
  static const char* kKnown[] = {"format", "version", "family", "ansi_code_page",
                                 "current_drive", "current_directory",
                                 "system_directory", "windows_directory",
                                 "program_files_directory", "drives", "user",
                                 "files_in_use", "memory"};
  Json unknown = Json::object();
  for (const auto& [key, value] : j.items()) {
    if (std::find_if(std::begin(kKnown), std::end(kKnown),
                     [&](const char* k) { return key == k; }) == std::end(kKnown)) {
      unknown[key] = value;
    }
  }
  if (!unknown.empty()) p.unknown_json = unknown.dump();
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
  Json user;
  user["name"] = p.user_name;
  user["writable_registry_roots"] = p.writable_registry_roots;
  user["writable_folders"] = p.writable_folders;
  user["protected_folders"] = p.protected_folders;
  user["shutdown_privilege"] = p.shutdown_privilege;
  j["user"] = user;
  Json in_use = Json::array();
  for (const InUseFile& f : p.files_in_use) {
    if (f.exclusive) {
      in_use.push_back({{"path", f.path}, {"exclusive", true}});
    } else {
      in_use.push_back(f.path);
    }
  }
  j["files_in_use"] = in_use;
  if (p.memory) {
    const MemoryStatus& m = *p.memory;
    j["memory"] = {{"memory_load", m.memory_load},
                   {"total_physical", m.total_physical},
                   {"available_physical", m.available_physical},
                   {"total_page_file", m.total_page_file},
                   {"available_page_file", m.available_page_file},
                   {"total_virtual", m.total_virtual},
                   {"available_virtual", m.available_virtual}};
  }
  if (!p.unknown_json.empty()) {
    Json unknown = Json::parse(p.unknown_json, nullptr, false);
    if (unknown.is_object()) {
      for (const auto& [key, value] : unknown.items()) j[key] = value;
    }
  }
  return j.dump(2) + "\n";
}

// ---- WinPath ---------------------------------------------------------------

std::string WinPath::ToString() const {
  std::string s(1, drive);
  s += ":\\";
  for (size_t i = 0; i < components.size(); ++i) {
    if (i) s += "\\";
    s += components[i];
  }
  return s;
}

WinPath WinPath::Parent() const {
  WinPath p = *this;
  if (!p.components.empty()) p.components.pop_back();
  return p;
}

// ---- Machine ---------------------------------------------------------------

Machine::Machine(std::string root, MachineProfile profile)
    : root_(std::move(root)),
      profile_(std::move(profile)),
      codec_(profile_.ansi_code_page) {}

Machine::~Machine() {
  for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
  if (volume_) sqlite3_close(volume_);
}

sqlite3_stmt* Machine::Prepared(const char* sql) {
  auto it = statements_.find(sql);
  if (it != statements_.end()) return it->second;
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v3(volume_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) !=
      SQLITE_OK) {
    sqlite3_finalize(stmt);
    return nullptr;
  }
  statements_.emplace(sql, stmt);
  return stmt;
}

Status Machine::Open(const std::string& root_in,
                     std::unique_ptr<Machine>* machine) {
  std::string root = root_in;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (!IsDirectory(root)) {
    return Status::Error(kErrorPathNotFound,
                         "no machine at " + root + ": the folder does not exist");
  }
  char resolved[PATH_MAX];
  if (::realpath(root.c_str(), resolved) != nullptr) root = resolved;
  std::string text;
  if (!ReadWholeFile(root + "/machine.json", &text)) {
    return Status::Error(kErrorFileNotFound,
                         "no machine at " + root + ": machine.json is missing "
                         "(make one with: qvinit machine init " + root + ")");
  }
  MachineProfile profile;
  Status s = ParseProfile(text, &profile);
  if (!s.ok()) {
    return Status::Error(s.code(), root + "/" + s.message());
  }
  for (const auto& [letter, folder] : profile.drives) {
    if (!IsDirectory(root + "/" + folder)) {
      return Status::Error(kErrorPathNotFound,
                           root + ": the folder of drive " + std::string(1, letter) +
                               ": (" + folder + ") is missing");
    }
  }
  std::unique_ptr<Machine> m(new Machine(root, std::move(profile)));
  s = m->OpenVolume();
  if (!s.ok()) return s;
  *machine = std::move(m);
  return Status::OK();
}

Status Machine::Init(const std::string& root_in, Family family, bool admin,
                     std::unique_ptr<Machine>* machine) {
  std::string root = root_in;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (PathExists(root)) {
    if (!IsDirectory(root)) {
      return Status::Error(kErrorAlreadyExists, root + " exists and is not a folder");
    }
    DIR* dir = ::opendir(root.c_str());
    if (!dir) return PosixError("cannot read " + root, errno);
    bool empty = true;
    while (dirent* e = ::readdir(dir)) {
      if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) {
        empty = false;
        break;
      }
    }
    ::closedir(dir);
    if (!empty) {
      return Status::Error(kErrorAlreadyExists,
                           root + " is not empty; a machine is only made in a new "
                                  "or empty folder");
    }
  } else if (::mkdir(root.c_str(), 0755) != 0) {
    return PosixError("cannot make " + root, errno);
  }

  MachineProfile profile = MachineProfile::Default(family, admin);
  for (const auto& [letter, folder] : profile.drives) {
    if (::mkdir((root + "/" + folder).c_str(), 0755) != 0 && errno != EEXIST) {
      return PosixError("cannot make the folder of drive " + std::string(1, letter), errno);
    }
  }
  {
    std::ofstream out(root + "/machine.json", std::ios::binary | std::ios::trunc);
    out << SerializeProfile(profile);
    if (!out) return Status::Error(kErrorWriteFault, "cannot write " + root + "/machine.json");
  }
  std::unique_ptr<Machine> m;
  Status s = Open(root, &m);
  if (!s.ok()) return s;
  // The folders of a fresh install.
  const std::string fonts = profile.windows_directory +
                            (family == Family::kNt ? "\\Fonts" : "\\FONTS");
  for (const std::string& folder :
       {profile.windows_directory, profile.system_directory, fonts,
        profile.program_files_directory}) {
    HostLocation loc;
    s = m->Locate(folder, &loc);
    if (!s.ok()) return s;
    if (!loc.exists && ::mkdir(loc.host_path.c_str(), 0755) != 0) {
      return PosixError("cannot make " + folder, errno);
    }
  }
  *machine = std::move(m);
  return Status::OK();
}

Status Machine::SaveProfile() {
  const std::string path = root_ + "/machine.json";
  const std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << SerializeProfile(profile_);
    out.flush();
    if (!out) {
      ::unlink(temp.c_str());
      return Status::Error(kErrorWriteFault, "cannot write " + temp);
    }
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    Status s = PosixError("cannot replace " + path, errno);
    ::unlink(temp.c_str());
    return s;
  }
  return Status::OK();
}

Status Machine::OpenVolume() {
  const std::string path = root_ + "/volume.db";
  if (sqlite3_open_v2(path.c_str(), &volume_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
    std::string msg = volume_ ? sqlite3_errmsg(volume_) : "out of memory";
    return Status::Error(kErrorBadConfiguration, "cannot open " + path + ": " + msg);
  }
  sqlite3_busy_timeout(volume_, 10000);
  char* error = nullptr;
  // What is kept here can be rebuilt (a short name is given out again), so
  // commits need not wait for the disk.
  sqlite3_exec(volume_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr,
               nullptr, nullptr);
  const char* schema =
      "CREATE TABLE IF NOT EXISTS short_names ("
      "  dir TEXT NOT NULL, long_fold TEXT NOT NULL, long_name TEXT NOT NULL,"
      "  short_name TEXT NOT NULL, short_fold TEXT NOT NULL,"
      "  PRIMARY KEY (dir, long_fold));"
      "CREATE INDEX IF NOT EXISTS short_names_by_short ON short_names (dir, short_fold);"
      "CREATE TABLE IF NOT EXISTS attributes ("
      "  path TEXT PRIMARY KEY, attrs INTEGER NOT NULL);";
  if (sqlite3_exec(volume_, schema, nullptr, nullptr, &error) != SQLITE_OK) {
    std::string msg = error ? error : "unknown error";
    sqlite3_free(error);
    return Status::Error(kErrorBadConfiguration, path + " is damaged: " + msg);
  }
  return Status::OK();
}

std::string Machine::DriveFolder(char drive) const {
  auto it = profile_.drives.find(static_cast<char>(std::toupper(static_cast<unsigned char>(drive))));
  if (it == profile_.drives.end()) return "";
  return root_ + "/" + it->second;
}

Status Machine::ParsePath(const std::string& windows_path, WinPath* out) const {
  // Text passes through the ANSI code page on its way in, as with the ANSI
  // entry points: characters the code page lacks arrive as "?".
  std::string s = codec_.FromAnsi(codec_.ToAnsi(windows_path));
  std::replace(s.begin(), s.end(), '/', '\\');
  if (s.empty()) return Status::Error(kErrorPathNotFound, "empty path");
  if (s.size() + 1 > kMaxPath) {
    return Status::Error(kErrorFilenameExcedRange, "path too long: " + windows_path);
  }
  if (s.rfind("\\\\?\\", 0) == 0) s = s.substr(4);
  if (s.rfind("\\\\", 0) == 0) {
    return Status::Error(kErrorBadNetPath, "network paths are not on this machine: " + windows_path);
  }
  WinPath path;
  std::string rest;
  WinPath current;
  Status cs = Status::OK();
  auto current_dir = [&](char drive) {
    WinPath base;
    base.drive = drive;
    if (drive == profile_.current_drive) {
      // The current folder, without re-entering this function's checks.
      std::string cur = profile_.current_directory;
      std::replace(cur.begin(), cur.end(), '/', '\\');
      if (cur.size() >= 2 && cur[1] == ':') cur = cur.substr(2);
      std::stringstream ss(cur);
      std::string part;
      while (std::getline(ss, part, '\\')) {
        if (!part.empty() && part != ".") base.components.push_back(part);
      }
    }
    return base;
  };
  if (s.size() >= 2 && s[1] == ':' && std::isalpha(static_cast<unsigned char>(s[0]))) {
    path.drive = static_cast<char>(std::toupper(static_cast<unsigned char>(s[0])));
    rest = s.substr(2);
    if (rest.empty() || rest[0] != '\\') {
      const char drive = path.drive;
      path = current_dir(drive);
    }
  } else if (s[0] == '\\') {
    path.drive = profile_.current_drive;
    rest = s;
  } else {
    path = current_dir(profile_.current_drive);
    rest = s;
  }
  if (!profile_.drives.count(path.drive)) {
    return Status::Error(kErrorPathNotFound,
                         "drive " + std::string(1, path.drive) + ": is not on this machine");
  }
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find('\\', start);
    if (end == std::string::npos) end = rest.size();
    std::string comp = rest.substr(start, end - start);
    start = end + 1;
    if (comp.empty() || comp == ".") continue;
    if (comp == "..") {
      if (!path.components.empty()) path.components.pop_back();
      continue;
    }
    for (unsigned char c : comp) {
      if (IsInvalidNameChar(c)) {
        return Status::Error(kErrorInvalidName, "invalid name in path: " + windows_path);
      }
    }
    while (!comp.empty() && (comp.back() == '.' || comp.back() == ' ')) comp.pop_back();
    if (comp.empty()) continue;
    if (comp.size() > 255 || IsReservedDeviceName(comp)) {
      return Status::Error(kErrorInvalidName, "invalid name in path: " + windows_path);
    }
    path.components.push_back(comp);
  }
  *out = std::move(path);
  return Status::OK();
}

Status Machine::Locate(const std::string& windows_path, HostLocation* location) {
  // A path found before leads to the same entry while that entry is still
  // there: a short name in it goes to another entry only once its own entry
  // is gone, and giving it out again drops what is kept here.
  const auto cached = located_.find(windows_path);
  if (cached != located_.end()) {
    struct stat st;
    if (::lstat(cached->second.host_path.c_str(), &st) == 0) {
      *location = cached->second;
      return Status::OK();
    }
    located_.erase(cached);
  }
  WinPath path;
  Status s = ParsePath(windows_path, &path);
  if (!s.ok()) return s;
  s = Locate(path, location);
  if (s.ok() && location->exists) {
    constexpr size_t kMaxLocated = 4096;
    if (located_.size() >= kMaxLocated) located_.clear();
    located_[windows_path] = *location;
  }
  return s;
}

Status Machine::Locate(const WinPath& path, HostLocation* location) {
  HostLocation loc;
  loc.path = path;
  std::string host = DriveFolder(path.drive);
  if (host.empty()) {
    return Status::Error(kErrorPathNotFound,
                         "drive " + std::string(1, path.drive) + ": is not on this machine");
  }
  bool exists = true;
  for (size_t i = 0; i < path.components.size(); ++i) {
    const std::string& comp = path.components[i];
    const bool last = i + 1 == path.components.size();
    if (!exists) {
      host += "/" + comp;
      continue;
    }
    std::string actual;
    struct stat st;
    if (::lstat((host + "/" + comp).c_str(), &st) == 0) {
      actual = comp;
    } else if (errno == ENOTDIR) {
      // A file stands where a folder is needed.
      exists = false;
      loc.parent_exists = false;
      host += "/" + comp;
      continue;
    } else {
      const std::string folded = FoldCase(comp);
      actual = FindInexact(host, folded);
      if (actual.empty()) actual = FindNotYetGivenShortName(host, folded);
    }
    if (actual.empty()) {
      exists = false;
      loc.parent_exists = last;
      host += "/" + comp;
    } else {
      host += "/" + actual;
      if (last) loc.actual_name = actual;
    }
  }
  loc.exists = exists;
  if (exists) loc.parent_exists = !path.components.empty();
  loc.host_path = host;
  *location = std::move(loc);
  return Status::OK();
}

std::string Machine::FindByListing(const std::string& host_dir, const std::string& folded) {
  std::string actual;
  if (index_.Lookup(host_dir, folded, &actual)) return actual;
  DIR* dir = ::opendir(host_dir.c_str());
  if (dir == nullptr) return "";
  while (dirent* e = ::readdir(dir)) {
    if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
    if (FoldCase(e->d_name) == folded) {
      actual = e->d_name;
      break;
    }
  }
  ::closedir(dir);
  return actual;
}

const Machine::NameLink* Machine::CachedLink(const NameLinks& links, const std::string& key,
                                             const std::string& host_dir,
                                             const std::string& entry_name) {
  const auto it = links.find(key);
  if (it == links.end()) return nullptr;
  const std::string& entry = entry_name.empty() ? it->second.name : entry_name;
  struct stat st;
  if (::lstat((host_dir + "/" + entry).c_str(), &st) != 0 || st.st_dev != it->second.device ||
      st.st_ino != it->second.inode) {
    return nullptr;
  }
  return &it->second;
}

void Machine::CacheLink(NameLinks* links, const std::string& key, const std::string& name,
                        const std::string& host_dir, const std::string& entry_name) {
  constexpr size_t kMaxLinks = 65536;
  struct stat st;
  if (::lstat((host_dir + "/" + entry_name).c_str(), &st) != 0) return;
  if (links->size() >= kMaxLinks) links->clear();
  (*links)[key] = NameLink{name, st.st_dev, st.st_ino};
}

std::string Machine::FindShortName(const std::string& host_dir, const std::string& folded) {
  if (!volume_) return "";
  const std::string key = host_dir + '\n' + folded;
  if (const NameLink* link = CachedLink(long_names_by_short_, key, host_dir, "")) {
    return link->name;
  }
  const std::string rel = host_dir.substr(std::min(root_.size(), host_dir.size()));
  Statement q(Prepared("SELECT long_name FROM short_names WHERE dir = ?1 AND short_fold = ?2"));
  q.Bind(1, rel);
  q.Bind(2, folded);
  while (q.Step() == SQLITE_ROW) {
    std::string candidate = q.Text(0);
    if (PathExists(host_dir + "/" + candidate)) {
      CacheLink(&long_names_by_short_, key, candidate, host_dir, candidate);
      return candidate;
    }
  }
  return "";
}

std::string Machine::FindInexact(const std::string& host_dir, const std::string& folded) {
  // A short name seen before needs neither the listing nor the database.
  if (folded.find('~') != std::string::npos) {
    if (const NameLink* link = CachedLink(long_names_by_short_, host_dir + '\n' + folded,
                                          host_dir, "")) {
      return link->name;
    }
  }
  std::string actual = FindByListing(host_dir, folded);
  return actual.empty() ? FindShortName(host_dir, folded) : actual;
}

std::string Machine::FindNotYetGivenShortName(const std::string& host_dir,
                                              const std::string& folded) {
  if (folded.find('~') == std::string::npos || !IsValidShortName(folded)) return "";
  // Windows gives every entry its short name when the entry is made; here
  // they are given out when first asked for. A short name asked for before
  // its entry's has been given out (written by hand into a boot file, say)
  // is found once the folder's entries all have theirs.
  DIR* dir = ::opendir(host_dir.c_str());
  if (dir == nullptr) return "";
  while (dirent* e = ::readdir(dir)) {
    if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
    std::string unused;
    ShortNameOf(host_dir, e->d_name, &unused);
  }
  ::closedir(dir);
  return FindShortName(host_dir, folded);
}

Status Machine::ShortNameOf(const std::string& host_dir, const std::string& long_name,
                            std::string* short_name) {
  if (IsValidShortName(long_name)) {
    *short_name = is_nt() ? long_name : FoldCase(long_name);
    return Status::OK();
  }
  if (!volume_) return Status::Error(kErrorInvalidFunction, "no volume database");
  const std::string rel = host_dir.substr(std::min(root_.size(), host_dir.size()));
  const std::string long_fold = FoldCase(long_name);
  const std::string key = host_dir + '\n' + long_fold;
  if (const NameLink* link = CachedLink(short_names_by_long_, key, host_dir, long_name)) {
    *short_name = link->name;
    return Status::OK();
  }
  {
    Statement q(
        Prepared("SELECT short_name FROM short_names WHERE dir = ?1 AND long_fold = ?2"));
    q.Bind(1, rel);
    q.Bind(2, long_fold);
    if (q.Step() == SQLITE_ROW) {
      *short_name = q.Text(0);
      CacheLink(&short_names_by_long_, key, *short_name, host_dir, long_name);
      return Status::OK();
    }
  }
  for (int n = 1; n < 100000; ++n) {
    const std::string candidate = ShortNameCandidate(long_name, n);
    const std::string folded = FoldCase(candidate);
    // A name in use in the folder: a long name, or a short name given out
    // to an entry that is still there.
    if (!FindInexact(host_dir, folded).empty()) continue;
    Statement ins(Prepared("INSERT OR REPLACE INTO short_names "
                  "(dir, long_fold, long_name, short_name, short_fold) VALUES (?1, ?2, ?3, ?4, ?5)"));
    ins.Bind(1, rel);
    ins.Bind(2, long_fold);
    ins.Bind(3, long_name);
    ins.Bind(4, candidate);
    ins.Bind(5, folded);
    if (ins.Step() != SQLITE_DONE) {
      return Status::Error(kErrorWriteFault,
                           std::string("cannot record a short name: ") + sqlite3_errmsg(volume_));
    }
    // A stale record of another name with the same short name is dropped.
    Statement del(Prepared(
        "DELETE FROM short_names WHERE dir = ?1 AND short_fold = ?2 AND long_fold <> ?3"));
    del.Bind(1, rel);
    del.Bind(2, folded);
    del.Bind(3, long_fold);
    if (del.Step() == SQLITE_DONE && sqlite3_changes(volume_) > 0) {
      // A short name went from an entry that is gone to this one. What was
      // kept for the old entry could come back to life with a file made
      // again under its long name (the host may even reuse its inode).
      short_names_by_long_.clear();
      long_names_by_short_.clear();
      located_.clear();
    }
    *short_name = candidate;
    CacheLink(&short_names_by_long_, key, candidate, host_dir, long_name);
    return Status::OK();
  }
  return Status::Error(kErrorFileExists, "no free short name for " + long_name);
}

bool Machine::MayWriteRegistryRoot(uint32_t root_handle) const {
  const std::string name = RegistryRootName(root_handle);
  if (name.empty()) return false;
  for (const std::string& r : profile_.writable_registry_roots) {
    if (NamesEqual(r, name)) return true;
  }
  return false;
}

bool Machine::MayWriteFolder(const WinPath& folder) const {
  auto under = [&](const std::string& base_text) {
    WinPath base;
    if (!ParsePath(base_text, &base).ok()) return false;
    if (base.drive != folder.drive) return false;
    if (base.components.size() > folder.components.size()) return false;
    for (size_t i = 0; i < base.components.size(); ++i) {
      if (!NamesEqual(base.components[i], folder.components[i])) return false;
    }
    return true;
  };
  for (const std::string& p : profile_.protected_folders) {
    if (under(p)) return false;
  }
  for (const std::string& w : profile_.writable_folders) {
    if (under(w)) return true;
  }
  return false;
}

bool Machine::ListedInUse(const WinPath& path, bool* exclusive) const {
  *exclusive = false;
  if (profile_.files_in_use.empty()) return false;
  const std::string folded = FoldCase(path.ToString());
  for (const InUseFile& f : profile_.files_in_use) {
    WinPath listed;
    if (ParsePath(f.path, &listed).ok() && FoldCase(listed.ToString()) == folded) {
      *exclusive = f.exclusive;
      return true;
    }
  }
  return false;
}

bool Machine::InUse(const WinPath& path, const std::string& host_path,
                    bool* exclusive) const {
  if (ListedInUse(path, exclusive)) return true;
  const int fd = ::open(host_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  const bool in_use = LockedByOthers(fd, exclusive);
  ::close(fd);
  return in_use;
}

bool Machine::LockedByOthers(int fd, bool* exclusive) {
  *exclusive = false;
  // Record locks (fcntl) of other processes.
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  if (::fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK) {
    *exclusive = probe.l_type == F_WRLCK;
    return true;
  }
  // Whole-file locks (flock).
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    ::flock(fd, LOCK_UN);
    return false;
  }
  if (errno != EWOULDBLOCK) return false;
  if (::flock(fd, LOCK_SH | LOCK_NB) == 0) {
    ::flock(fd, LOCK_UN);
  } else {
    *exclusive = true;
  }
  return true;
}

uint32_t Machine::StoredAttributes(const std::string& host_path) {
  if (!volume_) return 0;
  Statement q(Prepared("SELECT attrs FROM attributes WHERE path = ?1"));
  q.Bind(1, host_path.substr(std::min(root_.size(), host_path.size())));
  if (q.Step() == SQLITE_ROW) return static_cast<uint32_t>(q.Int(0));
  return 0;
}

Status Machine::StoreAttributes(const std::string& host_path, uint32_t attributes) {
  if (!volume_) return Status::Error(kErrorInvalidFunction, "no volume database");
  const std::string rel = host_path.substr(std::min(root_.size(), host_path.size()));
  const uint32_t kept = attributes & (0x01 | 0x02 | 0x04);
  if (kept == 0) {
    Statement del(Prepared("DELETE FROM attributes WHERE path = ?1"));
    del.Bind(1, rel);
    return del.Step() == SQLITE_DONE ? Status::OK()
                                     : Status::Error(kErrorWriteFault, sqlite3_errmsg(volume_));
  }
  Statement ins(Prepared("INSERT OR REPLACE INTO attributes (path, attrs) VALUES (?1, ?2)"));
  ins.Bind(1, rel);
  ins.Bind(2, static_cast<int64_t>(kept));
  return ins.Step() == SQLITE_DONE ? Status::OK()
                                   : Status::Error(kErrorWriteFault, sqlite3_errmsg(volume_));
}

void Machine::ForgetPath(const std::string& host_path) {
  if (!volume_) return;
  const std::string rel = host_path.substr(std::min(root_.size(), host_path.size()));
  // The path itself and everything below it: the names that start with
  // "rel/" sort between "rel/" and "rel0" ('0' follows '/').
  Statement del(Prepared("DELETE FROM attributes WHERE path = ?1 OR (path >= ?2 AND path < ?3)"));
  del.Bind(1, rel);
  del.Bind(2, rel + "/");
  del.Bind(3, rel + "0");
  del.Step();
}

void Machine::MovePathRecords(const std::string& from_host, const std::string& to_host) {
  if (!volume_) return;
  const uint32_t attrs = StoredAttributes(from_host);
  ForgetPath(from_host);
  ForgetPath(to_host);
  if (attrs) StoreAttributes(to_host, attrs);
}

}  // namespace qv::sandbox
