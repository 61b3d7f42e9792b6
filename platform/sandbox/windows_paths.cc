// Windows paths on the sandbox machine: parsing them as Windows does,
// comparing names without regard to case, and finding where a path lies on
// the host (Machine::ParsePath, Machine::Locate and their lookups).
#include "platform/sandbox/windows_paths.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sstream>

#include "platform/sandbox/machine.h"

namespace qv::sandbox {

namespace {

constexpr size_t kMaxPath = 260;  // MAX_PATH, terminating zero included

std::string UpperAscii(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

// Device names that Windows reserves in every folder.
bool IsReservedDeviceName(const std::string& component) {
  std::string base = UpperAscii(component.substr(0, component.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  static const char* kNames[] = {"CON", "PRN", "AUX", "NUL"};
  for (const char* n : kNames) {
    if (base == n) return true;
  }
  if (base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0)) {
    return base[3] >= '1' && base[3] <= '9';
  }
  return false;
}

bool IsInvalidNameChar(unsigned char c) {
  return c < 0x20 || std::strchr("<>:\"|?*", c) != nullptr;
}

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

// The current folder of drive: the profile's current folder on the current
// drive (taken as it stands, without the checks of a parse), the root on
// any other.
WinPath CurrentFolder(const MachineProfile& profile, char drive) {
  WinPath base;
  base.drive = drive;
  if (drive != profile.current_drive) return base;
  std::string cur = profile.current_directory;
  std::replace(cur.begin(), cur.end(), '/', '\\');
  if (cur.size() >= 2 && cur[1] == ':') cur = cur.substr(2);
  std::stringstream ss(cur);
  std::string part;
  while (std::getline(ss, part, '\\')) {
    if (!part.empty() && part != ".") base.components.push_back(part);
  }
  return base;
}

// Appends the components of rest ("\"-separated) to path: "." and empty
// ones dropped, ".." stepping back no further than the root, trailing dots
// and blanks cut. windows_path is the text named in an error.
Status AppendComponents(const std::string& rest, const std::string& windows_path, WinPath* path) {
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find('\\', start);
    if (end == std::string::npos) end = rest.size();
    std::string comp = rest.substr(start, end - start);
    start = end + 1;
    if (comp.empty() || comp == ".") continue;
    if (comp == "..") {
      if (!path->components.empty()) path->components.pop_back();
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
    path->components.push_back(comp);
  }
  return Status::OK();
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

bool NamesEqual(const std::string& a, const std::string& b) { return FoldCase(a) == FoldCase(b); }

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

// ---- The machine's paths ---------------------------------------------------

std::string Machine::DriveFolder(char drive) const {
  auto it =
      profile_.drives.find(static_cast<char>(std::toupper(static_cast<unsigned char>(drive))));
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
    return Status::Error(kErrorBadNetPath,
                         "network paths are not on this machine: " + windows_path);
  }
  WinPath path;
  std::string rest;
  if (s.size() >= 2 && s[1] == ':' && std::isalpha(static_cast<unsigned char>(s[0]))) {
    path.drive = static_cast<char>(std::toupper(static_cast<unsigned char>(s[0])));
    rest = s.substr(2);
    if (rest.empty() || rest[0] != '\\') path = CurrentFolder(profile_, path.drive);
  } else if (s[0] == '\\') {
    path.drive = profile_.current_drive;
    rest = s;
  } else {
    path = CurrentFolder(profile_, profile_.current_drive);
    rest = s;
  }
  if (!profile_.drives.count(path.drive)) {
    return Status::Error(kErrorPathNotFound,
                         "drive " + std::string(1, path.drive) + ": is not on this machine");
  }
  const Status s_components = AppendComponents(rest, windows_path, &path);
  if (!s_components.ok()) return s_components;
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
  const std::string drive_folder = DriveFolder(path.drive);
  std::string host = drive_folder;
  Status s;
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
    bool have_stat = false;
    if (::lstat((host + "/" + comp).c_str(), &st) == 0) {
      actual = comp;
      have_stat = true;
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
      // A link may lead anywhere inside the drive, never out of it.
      if (!have_stat && ::lstat(host.c_str(), &st) == 0) have_stat = true;
      if (have_stat && S_ISLNK(st.st_mode)) {
        s = CheckLinks(path.drive, host.substr(drive_folder.size() + 1));
        if (!s.ok()) return s;
      }
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

std::string Machine::FindInexact(const std::string& host_dir, const std::string& folded) {
  // A short name seen before needs neither the listing nor the database.
  if (folded.find('~') != std::string::npos) {
    if (const NameLink* link =
            CachedLink(long_names_by_short_, host_dir + '\n' + folded, host_dir, "")) {
      return link->name;
    }
  }
  std::string actual = FindByListing(host_dir, folded);
  return actual.empty() ? FindShortName(host_dir, folded) : actual;
}

}  // namespace qv::sandbox
