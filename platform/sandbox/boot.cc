// BootMachine: the next start of a sandbox machine.
//
// Order, as Windows starts:
//  1. Pending renames of the machine's family, in the order they were
//     written. NT: PendingFileRenameOperations holds pairs of strings, a
//     source "\??\SOURCE" and then "!\??\TARGET" (replace an existing
//     target), "\??\TARGET" (move only when no target is there) or "" (delete
//     the source); the value is removed afterwards. 9x: every line of the
//     "[rename]" sections of wininit.ini (section names without regard to
//     case), "TARGET=SOURCE" with (usually short) paths, replacing an
//     existing target; "NUL=SOURCE" deletes the source. Lines outside those
//     sections and ";" comments are passed over; the file is then renamed to
//     wininit.bak, replacing an older one. The file is read line by line, and
//     the report keeps what it says in a LineSpool, so that a large file
//     takes no more memory than a small one.
//  2. RunOnceEx: first the values directly in the key, then those of each
//     subkey, subkeys in name order and values in name order within each.
//     The key's own "Title" and "Flags" settings and every default value are
//     not entries. Each entry's value is deleted before it is taken up, as
//     Windows does, so that an entry never runs twice; a subkey goes once its
//     entries are done, the RunOnceEx key itself stays. "PATH|FUNCTION" (also
//     "PATH|FUNCTION|ARGS") calls FUNCTION of the library at PATH: the sandbox
//     runs no Windows code, so it records the call as the value PATH (its
//     long form) = FUNCTION under HKLM\SOFTWARE\Quillmark Sandbox\Registered
//     Components. "||COMMAND" and any entry without "|" is a command line,
//     run with the machine's launcher and waited for.
//  3. A restart request left in ROOT/restart.json is taken up and removed.
//
// What cannot be carried out is reported as a problem and the boot goes on;
// only a failing registry or host file system ends it with an error.
#include "platform/sandbox/boot.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/posix/errno_status.h"
#include "platform/sandbox/sandbox_file_system.h"
#include "platform/sandbox/sandbox_process.h"
#include "platform/sandbox/sandbox_registry.h"
#include "platform/sandbox/sandbox_restart.h"

namespace qv::sandbox {

namespace {

constexpr const char* kRunOnceExKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnceEx";
constexpr const char* kRegisteredComponentsKey =
    "SOFTWARE\\Quillmark Sandbox\\Registered Components";

std::string Trim(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  const size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

bool HasControlCharacters(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 && c != '\t') return true;
  }
  return false;
}

// The strings of a multi-string value. The list ends with an empty string,
// which is dropped; an empty string inside the list (a delete's target) is
// kept.
std::vector<std::string> SplitMultiString(const std::string& data) {
  std::vector<std::string> strings;
  size_t start = 0;
  while (start < data.size()) {
    size_t end = data.find('\0', start);
    if (end == std::string::npos) end = data.size();
    strings.push_back(data.substr(start, end - start));
    start = end + 1;
  }
  if (strings.size() % 2 == 1 && strings.back().empty()) strings.pop_back();
  return strings;
}

// "\??\C:\x" -> "C:\x".
std::string StripObjectPrefix(const std::string& path) {
  if (path.rfind("\\??\\", 0) == 0) return path.substr(4);
  return path;
}

// Text of a REG_SZ value: up to its first zero.
std::string ValueText(const std::string& data) { return data.substr(0, data.find('\0')); }

// Closes a registry handle when it goes.
class KeyHandle {
 public:
  explicit KeyHandle(Registry* registry) : registry_(registry) {}
  ~KeyHandle() {
    if (handle_ != 0) registry_->CloseKey(handle_);
  }
  KeyHandle(const KeyHandle&) = delete;
  KeyHandle& operator=(const KeyHandle&) = delete;
  RegHandle* out() { return &handle_; }
  RegHandle get() const { return handle_; }

 private:
  Registry* registry_;
  RegHandle handle_ = 0;
};

// Acts for the machine itself while it lives: files in use and the user's
// rights do not count.
class SystemAccessScope {
 public:
  explicit SystemAccessScope(SandboxPlatform* platform)
      : files_(platform->files()),
        registry_(platform->registry()),
        files_before_(files_->system_access()),
        registry_before_(registry_->system_access()) {
    files_->set_system_access(true);
    registry_->set_system_access(true);
  }
  ~SystemAccessScope() {
    files_->set_system_access(files_before_);
    registry_->set_system_access(registry_before_);
  }
  SystemAccessScope(const SystemAccessScope&) = delete;
  SystemAccessScope& operator=(const SystemAccessScope&) = delete;

 private:
  SandboxFileSystem* files_;
  SandboxRegistry* registry_;
  bool files_before_;
  bool registry_before_;
};

class Boot {
 public:
  Boot(SandboxPlatform* platform, BootReport* report)
      : machine_(platform->machine()),
        codec_(machine_.codec()),
        files_(platform->files()),
        registry_(platform->registry()),
        processes_(platform->processes()),
        report_(report) {}

  Status Run() {
    Status s = machine_.is_nt() ? PendingFileRenames() : WininitRenames();
    if (s.ok()) s = RunOnceEx();
    if (s.ok()) s = TakeUpRestart();
    return s;
  }

 private:
  // What a wininit.ini is read in.
  static constexpr size_t kReadPiece = 64 << 10;

  void Problem(const std::string& text) { report_->problems.push_back(text); }

  void Move(const std::string& source, const std::string& target, bool replace) {
    Status s = files_->MoveFileEx(source, target, replace ? kMoveFileReplaceExisting : 0);
    if (s.ok()) {
      report_->renames.push_back(source + " -> " + target);
    } else {
      Problem("cannot move " + source + " to " + target + ": " + s.message());
    }
  }

  void Delete(const std::string& source) {
    uint32_t attributes = 0;
    Status s = files_->GetFileAttributes(source, &attributes);
    if (s.ok()) {
      s = (attributes & kFileAttributeDirectory) ? files_->RemoveDirectory(source)
                                                 : files_->DeleteFile(source);
    }
    if (s.ok()) {
      report_->renames.push_back("delete " + source);
    } else {
      Problem("cannot delete " + source + ": " + s.message());
    }
  }

  Status PendingFileRenames() {
    KeyHandle key(registry_);
    uint32_t rc = registry_->OpenKeyEx(kHkeyLocalMachine, kSessionManagerKey, 0,
                                       kKeyQueryValue | kKeySetValue, key.out());
    if (rc == kErrorFileNotFound) return Status::OK();
    if (rc != 0) return Status::Error(rc, "cannot open the pending renames");
    uint32_t size = 0;
    uint32_t type = 0;
    rc = registry_->QueryValueEx(key.get(), kPendingRenamesValue, nullptr, &type, nullptr, &size);
    if (rc == kErrorFileNotFound) return Status::OK();
    std::string data(size, '\0');
    if (rc == 0 && size > 0) {
      rc = registry_->QueryValueEx(key.get(), kPendingRenamesValue, nullptr, &type,
                                   reinterpret_cast<uint8_t*>(data.data()), &size);
      data.resize(size);
    }
    if (rc != 0) return Status::Error(rc, "cannot read the pending renames");
    if (type != kRegMultiSz) {
      Problem(std::string(kPendingRenamesValue) + " is not a multi-string; read as one");
    }
    const std::vector<std::string> strings = SplitMultiString(data);
    for (size_t i = 0; i < strings.size(); i += 2) {
      const std::string source = StripObjectPrefix(codec_.FromAnsi(strings[i]));
      if (i + 1 == strings.size()) {
        Problem("pending rename of " + source + " has no target");
        break;
      }
      std::string target = codec_.FromAnsi(strings[i + 1]);
      if (source.empty()) {
        Problem("pending rename without a source (target \"" + target + "\")");
        continue;
      }
      if (target.empty()) {
        Delete(source);
        continue;
      }
      const bool replace = target[0] == '!';
      if (replace) target.erase(0, 1);
      Move(source, StripObjectPrefix(target), replace);
    }
    rc = registry_->DeleteValue(key.get(), kPendingRenamesValue);
    if (rc != 0) return Status::Error(rc, "cannot clear the pending renames");
    return Status::OK();
  }

  // Calls each with every line of file, without its line break, and its
  // number from 1; a last line without a break counts when it is not empty.
  // Reads the file piece by piece, so a large one is never held whole.
  static Status ForEachLine(const RandomAccessFile& file,
                            const std::function<void(std::string&, int)>& each) {
    std::vector<char> chunk(kReadPiece);
    std::string line;
    int number = 0;
    for (uint64_t offset = 0;;) {
      size_t got = 0;
      Status s = file.Read(offset, chunk.size(), reinterpret_cast<uint8_t*>(chunk.data()), &got);
      if (!s.ok()) return s;
      if (got == 0) break;
      offset += got;
      const char* at = chunk.data();
      const char* const end = at + got;
      while (at < end) {
        const char* const newline = static_cast<const char*>(std::memchr(at, '\n', end - at));
        line.append(at, newline == nullptr ? end : newline);
        if (newline == nullptr) break;
        each(line, ++number);
        line.clear();
        at = newline + 1;
      }
    }
    if (!line.empty()) each(line, ++number);
    return Status::OK();
  }

  // Whether file holds a zero byte anywhere.
  static Status HoldsZero(const RandomAccessFile& file, bool* zero) {
    *zero = false;
    std::vector<char> chunk(kReadPiece);
    for (uint64_t offset = 0;;) {
      size_t got = 0;
      Status s = file.Read(offset, chunk.size(), reinterpret_cast<uint8_t*>(chunk.data()), &got);
      if (!s.ok() || got == 0) return s;
      if (std::memchr(chunk.data(), '\0', got) != nullptr) {
        *zero = true;
        return Status::OK();
      }
      offset += got;
    }
  }

  // Takes up one line of wininit.ini.
  void WininitLine(std::string& raw, int number, bool* in_rename, bool* saw_rename) {
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    const std::string line = Trim(raw);
    if (line.empty() || line[0] == ';') return;
    if (line[0] == '[') {
      const size_t close = line.find(']');
      const std::string name =
          Trim(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
      *in_rename = NamesEqual(name, "rename");
      *saw_rename = *saw_rename || *in_rename;
      return;
    }
    if (!*in_rename) return;
    const std::string where = "wininit.ini line " + std::to_string(number);
    const size_t eq = line.find('=');
    if (HasControlCharacters(line) || eq == std::string::npos) {
      Problem(where + " is not TARGET=SOURCE; passed over");
      return;
    }
    const std::string target = codec_.FromAnsi(Trim(line.substr(0, eq)));
    const std::string source = codec_.FromAnsi(Trim(line.substr(eq + 1)));
    if (target.empty() || source.empty()) {
      Problem(where + " lacks a target or a source; passed over");
    } else if (NamesEqual(target, "NUL")) {
      Delete(source);
    } else {
      Move(source, target, /*replace=*/true);
    }
  }

  Status WininitRenames() {
    const std::string folder = machine_.profile().windows_directory;
    const std::string ini = folder + "\\wininit.ini";
    bool in_rename = false;
    bool saw_rename = false;
    {
      std::unique_ptr<RandomAccessFile> file;
      Status s = files_->NewRandomAccessFile(ini, &file);
      if (s.code() == kErrorFileNotFound || s.code() == kErrorPathNotFound) return Status::OK();
      if (!s.ok()) return s;
      // Said first, wherever the zero is.
      bool zero = false;
      s = HoldsZero(*file, &zero);
      if (!s.ok()) return s;
      if (zero) Problem("wininit.ini is not a text file; only its readable lines were taken up");
      s = ForEachLine(*file, [&](std::string& line, int number) {
        WininitLine(line, number, &in_rename, &saw_rename);
      });
      if (!s.ok()) return s;
    }
    if (!saw_rename) Problem("wininit.ini has no [rename] section");
    Status s = files_->MoveFileEx(ini, folder + "\\wininit.bak", kMoveFileReplaceExisting);
    if (!s.ok()) Problem("cannot rename wininit.ini to wininit.bak: " + s.message());
    return Status::OK();
  }

  // Records that FUNCTION of the library at path was called.
  Status RecordRegistration(const std::string& path, const std::string& function) {
    KeyHandle key(registry_);
    uint32_t rc = registry_->CreateKeyEx(kHkeyLocalMachine, kRegisteredComponentsKey, 0, "", 0,
                                         kKeySetValue, key.out(), nullptr);
    if (rc == 0) {
      std::string data = codec_.ToAnsi(function);
      data.push_back('\0');
      rc = registry_->SetValueEx(key.get(), codec_.ToAnsi(path), 0, kRegSz,
                                 reinterpret_cast<const uint8_t*>(data.data()),
                                 static_cast<uint32_t>(data.size()));
    }
    if (rc != 0) return Status::Error(rc, "cannot record the registration of " + path);
    return Status::OK();
  }

  Status CallLibrary(const std::string& entry, const std::string& path,
                     const std::string& function) {
    uint32_t attributes = 0;
    std::string long_path;
    if (!files_->GetFileAttributes(path, &attributes).ok() ||
        (attributes & kFileAttributeDirectory) || !files_->GetLongPathName(path, &long_path).ok()) {
      Problem(entry + ": " + path + " does not exist");
      return Status::OK();
    }
    if (function.empty()) {
      Problem(entry + ": no function named");
      return Status::OK();
    }
    Status s = RecordRegistration(long_path, function);
    if (!s.ok()) return s;
    report_->run_once.push_back(entry + " (" + function + " called)");
    return Status::OK();
  }

  void RunCommand(const std::string& entry, const std::string& command) {
    std::unique_ptr<Process> process;
    Status s = processes_->CreateProcess(command, WindowStyle::kDefault, &process);
    if (!s.ok()) {
      Problem(entry + ": cannot start: " + s.message());
      return;
    }
    const uint32_t code = process->Wait();
    report_->run_once.push_back(entry + " (exit code " + std::to_string(code) + ")");
  }

  // Deletes the value, then takes up what it asks for.
  Status TakeUpEntry(RegHandle key, const SandboxRegistry::Value& value) {
    const uint32_t rc = registry_->DeleteValue(key, value.name);
    if (rc != 0) return Status::Error(rc, "cannot delete the RunOnceEx value " + value.name);
    const std::string name = codec_.FromAnsi(value.name);
    if (value.type != kRegSz && value.type != kRegExpandSz) {
      Problem("RunOnceEx value " + name + " is not text; passed over");
      return Status::OK();
    }
    const std::string entry = codec_.FromAnsi(ValueText(value.data));
    if (entry.rfind("||", 0) == 0) {
      RunCommand(entry, entry.substr(2));
      return Status::OK();
    }
    const size_t bar = entry.find('|');
    if (bar == std::string::npos) {
      RunCommand(entry, entry);
      return Status::OK();
    }
    const std::string path = Trim(entry.substr(0, bar));
    const size_t end = entry.find('|', bar + 1);
    const std::string function =
        Trim(entry.substr(bar + 1, end == std::string::npos ? std::string::npos : end - bar - 1));
    return CallLibrary(entry, path, function);
  }

  Status RunOnceEx() {
    KeyHandle key(registry_);
    uint32_t rc = registry_->OpenKeyEx(kHkeyLocalMachine, kRunOnceExKey, 0, kKeyRead | kKeySetValue,
                                       key.out());
    if (rc == kErrorFileNotFound) return Status::OK();
    if (rc != 0) return Status::Error(rc, "cannot open RunOnceEx");
    std::vector<SandboxRegistry::Value> values;
    std::vector<std::string> subkeys;
    rc = registry_->EnumKey(key.get(), "", &values, &subkeys);
    if (rc != 0) return Status::Error(rc, "cannot read RunOnceEx");
    for (const SandboxRegistry::Value& value : values) {
      // The key's own settings: the title shown while it runs and its flags.
      if (value.name.empty() || NamesEqual(value.name, "Title") ||
          NamesEqual(value.name, "Flags")) {
        continue;
      }
      Status s = TakeUpEntry(key.get(), value);
      if (!s.ok()) return s;
    }
    for (const std::string& subkey : subkeys) {
      KeyHandle section(registry_);
      rc = registry_->OpenKeyEx(key.get(), subkey, 0, kKeyRead | kKeySetValue, section.out());
      if (rc == 0) rc = registry_->EnumKey(section.get(), "", &values, nullptr);
      if (rc != 0) return Status::Error(rc, "cannot read RunOnceEx\\" + subkey);
      for (const SandboxRegistry::Value& value : values) {
        if (value.name.empty()) continue;  // the section's title
        Status s = TakeUpEntry(section.get(), value);
        if (!s.ok()) return s;
      }
      rc = registry_->DeleteKey(key.get(), subkey);
      if (rc != 0) {
        Problem("cannot remove RunOnceEx\\" + codec_.FromAnsi(subkey) + " (error " +
                std::to_string(rc) + ")");
      }
    }
    return Status::OK();
  }

  Status TakeUpRestart() {
    const std::string path = machine_.root() + "/" + kRestartRequestFile;
    std::ifstream in(path, std::ios::binary);
    if (!in) return Status::OK();
    std::stringstream text;
    text << in.rdbuf();
    in.close();
    report_->restart_requested = true;
    const nlohmann::json request = nlohmann::json::parse(text.str(), nullptr, false);
    if (!request.is_object()) Problem("the restart request cannot be read; taken up all the same");
    if (::unlink(path.c_str()) != 0) return PosixError("cannot remove " + path, errno);
    return Status::OK();
  }

  Machine& machine_;
  const TextCodec& codec_;
  SandboxFileSystem* files_;
  SandboxRegistry* registry_;
  SandboxProcessLauncher* processes_;
  BootReport* report_;
};

}  // namespace

Status BootMachine(SandboxPlatform* platform, BootReport* report) {
  *report = BootReport{};
  SystemAccessScope system(platform);
  return Boot(platform, report).Run();
}

}  // namespace qv::sandbox
