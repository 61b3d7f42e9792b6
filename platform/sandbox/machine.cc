// Machine: opening and making a machine root, its volume database, the
// user's rights, files in use and the attributes kept beside the files. The
// profile, the Windows paths and the short names have files of their own
// (machine_profile.cc, windows_paths.cc, short_names.cc).
#include "platform/sandbox/machine.h"

#include <dirent.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/posix/atomic_file.h"
#include "platform/posix/errno_status.h"
#include "platform/sandbox/open_beneath.h"
#include "platform/sandbox/volume_statement.h"

namespace qv::sandbox {

namespace {

bool IsDirectory(const std::string& host_path) {
  struct stat st;
  return ::stat(host_path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool PathExists(const std::string& host_path) {
  struct stat st;
  return ::lstat(host_path.c_str(), &st) == 0;
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

}  // namespace

// ---- Machine ---------------------------------------------------------------

Machine::Machine(std::string root, MachineProfile profile)
    : root_(std::move(root)),
      profile_(std::move(profile)),
      codec_(profile_.ansi_code_page) {}

Machine::~Machine() {
  for (auto& [letter, fd] : drive_fds_) ::close(fd);
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
  // A profile or restart request whose writer was killed left its
  // temporary beside it.
  SweepDeadTemporaries(root, false);
  MachineProfile profile;
  Status s = LoadProfileFile(root + "/machine.json", &profile);
  if (s.code() == kErrorFileNotFound) {
    return Status::Error(kErrorFileNotFound,
                         "no machine at " + root + ": machine.json is missing "
                         "(make one with: qvinit machine init " + root + ")");
  }
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
  s = m->OpenDrives();
  if (!s.ok()) return s;
  s = m->OpenVolume();
  if (!s.ok()) return s;
  *machine = std::move(m);
  return Status::OK();
}

namespace {

// A machine is only made in a new folder (made here) or an empty one.
Status MakeEmptyRoot(const std::string& root) {
  if (!PathExists(root)) {
    if (::mkdir(root.c_str(), 0755) != 0) return PosixError("cannot make " + root, errno);
    return Status::OK();
  }
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
  return Status::OK();
}

// The drive folders and the profile of a fresh machine in root.
Status WriteFreshRoot(const std::string& root, const MachineProfile& profile) {
  for (const auto& [letter, folder] : profile.drives) {
    if (::mkdir((root + "/" + folder).c_str(), 0755) != 0 && errno != EEXIST) {
      return PosixError("cannot make the folder of drive " + std::string(1, letter), errno);
    }
  }
  std::ofstream out(root + "/machine.json", std::ios::binary | std::ios::trunc);
  out << SerializeProfile(profile);
  if (!out) return Status::Error(kErrorWriteFault, "cannot write " + root + "/machine.json");
  return Status::OK();
}

// The folders of a fresh install: Windows, its system and fonts folders,
// Program Files.
Status MakeWindowsFolders(Machine& machine) {
  const MachineProfile& profile = machine.profile();
  const std::string fonts = profile.windows_directory +
                            (profile.family == Family::kNt ? "\\Fonts" : "\\FONTS");
  for (const std::string& folder :
       {profile.windows_directory, profile.system_directory, fonts,
        profile.program_files_directory}) {
    HostLocation loc;
    const Status s = machine.Locate(folder, &loc);
    if (!s.ok()) return s;
    if (!loc.exists && ::mkdir(loc.host_path.c_str(), 0755) != 0) {
      return PosixError("cannot make " + folder, errno);
    }
  }
  return Status::OK();
}

}  // namespace

Status Machine::Init(const std::string& root_in, Family family, bool admin,
                     std::unique_ptr<Machine>* machine) {
  std::string root = root_in;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  Status s = MakeEmptyRoot(root);
  if (!s.ok()) return s;
  s = WriteFreshRoot(root, MachineProfile::Default(family, admin));
  if (!s.ok()) return s;
  std::unique_ptr<Machine> m;
  s = Open(root, &m);
  if (!s.ok()) return s;
  s = MakeWindowsFolders(*m);
  if (!s.ok()) return s;
  *machine = std::move(m);
  return Status::OK();
}

Status Machine::SaveProfile() {
  return SaveProfileFile(root_ + "/machine.json", profile_);
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

Status Machine::OpenDrives() {
  for (const auto& [letter, folder] : profile_.drives) {
    const std::string drive = std::string(1, letter) + ": (\"" + folder + "\")";
    char resolved[PATH_MAX];
    if (::realpath((root_ + "/" + folder).c_str(), resolved) == nullptr) {
      return PosixError(root_ + ": cannot find the folder of drive " + drive, errno);
    }
    // A drive holds files the machine's programs may change and remove: its
    // folder must lie strictly inside the root, where the machine's own
    // files (machine.json, registry.db, volume.db) are not within its reach,
    // and a link must not carry it elsewhere on the host.
    const std::string real = resolved;
    if (real.size() <= root_.size() + 1 || real.compare(0, root_.size() + 1, root_ + "/") != 0) {
      const std::string where = real == root_ ? "the machine folder itself"
                                              : real + ", outside the machine folder";
      return Status::AccessDenied(root_ + "/machine.json: drive " + drive + " is " + where +
                                  "; a drive's folder must lie inside the machine folder");
    }
    const int fd = ::open(real.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return PosixError(root_ + ": cannot open the folder of drive " + drive, errno);
    drive_fds_[letter] = fd;
  }
  return Status::OK();
}

std::string Machine::InDrive(const HostLocation& location) const {
  const std::string drive = DriveFolder(location.path.drive);
  if (location.host_path.size() <= drive.size() + 1) return "";
  return location.host_path.substr(drive.size() + 1);
}

int Machine::OpenInDrive(const HostLocation& location, int flags, mode_t mode) const {
  const auto it = drive_fds_.find(location.path.drive);
  if (it == drive_fds_.end()) {
    errno = ENOENT;
    return -1;
  }
  return OpenBeneath(it->second, InDrive(location), flags, mode);
}

int Machine::OpenParentInDrive(const HostLocation& location, std::string* leaf) const {
  const std::string rel = InDrive(location);
  const size_t slash = rel.rfind('/');
  *leaf = slash == std::string::npos ? rel : rel.substr(slash + 1);
  HostLocation parent = location;
  parent.path = location.path.Parent();
  parent.host_path = DriveFolder(location.path.drive) +
                     (slash == std::string::npos ? "" : "/" + rel.substr(0, slash));
  return OpenInDrive(parent, O_PATH | O_DIRECTORY);
}

Status Machine::CheckLinks(char drive, const std::string& rel) const {
  const auto it = drive_fds_.find(drive);
  std::string link;
  std::string target;
  if (it == drive_fds_.end() || !FindEscapingLink(it->second, rel, &link, &target)) {
    return Status::OK();
  }
  WinPath named;
  named.drive = drive;
  size_t start = 0;
  while (start < link.size()) {
    size_t end = link.find('/', start);
    if (end == std::string::npos) end = link.size();
    named.components.push_back(link.substr(start, end - start));
    start = end + 1;
  }
  return Status::AccessDenied("access denied: " + named.ToString() + " is a link to \"" + target +
                              "\", which leads outside drive " + std::string(1, drive) + ":");
}

Status Machine::DriveError(const std::string& what, const HostLocation& location,
                           int error_number) const {
  if (error_number == EXDEV || error_number == ELOOP) {
    const Status links = CheckLinks(location.path.drive, InDrive(location));
    if (!links.ok()) return links;
    return Status::AccessDenied("access denied: " + location.path.ToString() +
                                " leads outside drive " + std::string(1, location.path.drive) +
                                ": through a link");
  }
  return PosixError(what + " " + location.path.ToString(), error_number);
}

bool Machine::InUse(const HostLocation& location, bool* exclusive) const {
  if (ListedInUse(location.path, exclusive)) return true;
  const int fd = OpenInDrive(location, O_RDONLY | O_NONBLOCK);
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
  VolumeStatement q(Prepared("SELECT attrs FROM attributes WHERE path = ?1"));
  q.Bind(1, host_path.substr(std::min(root_.size(), host_path.size())));
  if (q.Step() == SQLITE_ROW) return static_cast<uint32_t>(q.Int(0));
  return 0;
}

Status Machine::StoreAttributes(const std::string& host_path, uint32_t attributes) {
  if (!volume_) return Status::Error(kErrorInvalidFunction, "no volume database");
  const std::string rel = host_path.substr(std::min(root_.size(), host_path.size()));
  const uint32_t kept = attributes & (0x01 | 0x02 | 0x04);
  if (kept == 0) {
    VolumeStatement del(Prepared("DELETE FROM attributes WHERE path = ?1"));
    del.Bind(1, rel);
    return del.Step() == SQLITE_DONE ? Status::OK()
                                     : Status::Error(kErrorWriteFault, sqlite3_errmsg(volume_));
  }
  VolumeStatement ins(Prepared("INSERT OR REPLACE INTO attributes (path, attrs) VALUES (?1, ?2)"));
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
  VolumeStatement del(Prepared("DELETE FROM attributes WHERE path = ?1 OR (path >= ?2 AND path < ?3)"));
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
