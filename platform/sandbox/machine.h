// Machine: a model of a Windows machine kept in one folder, the machine root.
//
//   ROOT/machine.json   the profile (family, code page, folders, drives,
//                       the user's rights, files in use, ...)
//   ROOT/drive_c/...    drive C's files (one folder per drive letter)
//   ROOT/registry.db    the registry (SQLite)
//   ROOT/volume.db      what the file system keeps beside the files: short
//                       (8.3) names once given out, and file attributes
//
// Windows paths map onto host paths below the drive folders as on Windows
// (platform/sandbox/windows_paths.h). A path rooted without a drive
// ("\Ostrel") is on the current drive; a relative one is taken from the
// current folder. The profile is kept in machine_profile.{h,cc}, the short
// names in short_names.{h,cc}; this file's Machine ties them together with
// the rights, the files in use and the attributes kept beside the files.
//
// A Machine is used from one thread; several processes may work on the same
// machine root at once (the databases are changed in transactions).
#ifndef QV_PLATFORM_SANDBOX_MACHINE_H_
#define QV_PLATFORM_SANDBOX_MACHINE_H_

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>

#include "platform/posix/iconv_text_codec.h"
#include "platform/sandbox/folder_index.h"
#include "platform/sandbox/machine_profile.h"
#include "platform/sandbox/short_names.h"
#include "platform/sandbox/windows_paths.h"
#include "platform/status.h"

struct sqlite3;
struct sqlite3_stmt;

namespace qv::sandbox {

class Machine {
 public:
  ~Machine();

  // Opens an existing machine root. Fails with a clear message when the root
  // or its profile is missing or damaged.
  static Status Open(const std::string& root, std::unique_ptr<Machine>* machine);

  // Makes a fresh machine in root (created when missing; an existing root
  // must be empty): profile, drive folders, the Windows folders, Program
  // Files and a registry seeded as a fresh install has it.
  static Status Init(const std::string& root, Family family, bool admin,
                     std::unique_ptr<Machine>* machine);

  const std::string& root() const { return root_; }
  const MachineProfile& profile() const { return profile_; }
  bool is_nt() const { return profile_.family == Family::kNt; }
  // The machine's ANSI code page.
  const TextCodec& codec() const { return codec_; }

  // Writes the profile back (after a change through mutable_profile()).
  MachineProfile* mutable_profile() { return &profile_; }
  Status SaveProfile();

  // Parses a Windows path. ERROR_INVALID_NAME for characters Windows refuses,
  // ERROR_PATH_NOT_FOUND for a drive the machine lacks or a network path.
  Status ParsePath(const std::string& windows_path, WinPath* path) const;

  // Maps a Windows path onto the host.
  Status Locate(const std::string& windows_path, HostLocation* location);
  Status Locate(const WinPath& path, HostLocation* location);

  // The host folder of a drive.
  std::string DriveFolder(char drive) const;

  // Opens the host file of location (open(2)'s flags and mode) without
  // leaving its drive folder (see open_beneath.h): -1 with errno EXDEV when a
  // link on the way leads out.
  int OpenInDrive(const HostLocation& location, int flags, mode_t mode = 0) const;
  // The folder that holds location, opened the same way (O_PATH), and the
  // entry's name in it: for the *at calls that make, remove and move entries.
  int OpenParentInDrive(const HostLocation& location, std::string* leaf) const;
  // The error for a failed OpenInDrive or *at call on location: a link that
  // leads out of the drive is ERROR_ACCESS_DENIED and named.
  Status DriveError(const std::string& what, const HostLocation& location, int error_number) const;

  // The short (8.3) name of the entry long_name in the host folder host_dir,
  // giving one out (and keeping it) when it has none yet.
  Status ShortNameOf(const std::string& host_dir, const std::string& long_name,
                     std::string* short_name);

  // Rights.
  bool MayWriteRegistryRoot(uint32_t root_handle) const;
  bool MayWriteFolder(const WinPath& folder) const;

  // Whether another program holds the file: listed in the profile, or locked
  // (flock or fcntl) by another process. *exclusive tells whether it cannot
  // even be read.
  bool InUse(const HostLocation& location, bool* exclusive) const;
  // The two halves of InUse: the profile's list, and the locks that other
  // processes hold on the file open at fd.
  bool ListedInUse(const WinPath& path, bool* exclusive) const;
  static bool LockedByOthers(int fd, bool* exclusive);

  // The attributes kept for a file beside it (read-only, hidden, system).
  uint32_t StoredAttributes(const std::string& host_path);
  Status StoreAttributes(const std::string& host_path, uint32_t attributes);
  // Moves or drops what is kept for a host path that was moved or deleted.
  void ForgetPath(const std::string& host_path);
  void MovePathRecords(const std::string& from_host, const std::string& to_host);

  std::string registry_db_path() const { return root_ + "/registry.db"; }
  // Where the starts of programs that were not run are recorded.
  std::string programs_log_path() const { return root_ + "/programs.jsonl"; }

 private:
  Machine(std::string root, MachineProfile profile);
  Status OpenVolume();
  // Opens every drive folder once; each must lie inside the root by its real
  // location.
  Status OpenDrives();
  // The path of host_path below its drive folder ("" for the folder).
  std::string InDrive(const HostLocation& location) const;
  // ERROR_ACCESS_DENIED naming the link when the existing path rel of drive
  // leads out of the drive folder; OK otherwise.
  Status CheckLinks(char drive, const std::string& rel) const;
  // The volume database's statement for sql (a literal), prepared on first
  // use and kept; nullptr when it cannot be prepared.
  sqlite3_stmt* Prepared(const char* sql);
  // The entry of host_dir whose name, or short name given out, folds to
  // folded; "" when there is none.
  std::string FindInexact(const std::string& host_dir, const std::string& folded);
  // Its two halves: the long names (through the folder index), and the
  // short names given out to entries that are still there.
  std::string FindByListing(const std::string& host_dir, const std::string& folded);
  std::string FindShortName(const std::string& host_dir, const std::string& folded);
  // A short name (folded) that no entry of host_dir has been given yet:
  // gives every entry its short name and looks again.
  std::string FindNotYetGivenShortName(const std::string& host_dir, const std::string& folded);
  // The short name kept for long_fold in rel_dir (a folder relative to the
  // root); false when none is kept.
  bool KeptShortName(const std::string& rel_dir, const std::string& long_fold,
                     std::string* short_name);
  // Keeps short_name for long_name in rel_dir, dropping a stale record of
  // another name that had it.
  Status KeepShortName(const std::string& rel_dir, const std::string& long_fold,
                       const std::string& long_name, const std::string& short_name);

  std::string root_;
  MachineProfile profile_;
  // Each drive's folder, open for the *at calls (closed with the machine).
  std::map<char, int> drive_fds_;
  IconvTextCodec codec_;
  sqlite3* volume_ = nullptr;
  std::unordered_map<const char*, sqlite3_stmt*> statements_;
  // A name linked to an entry of a folder (its short name, or its long
  // name), kept with the entry's identity: the link holds while the entry is
  // the same file (a file deleted and made again may get another short
  // name).
  struct NameLink {
    std::string name;
    dev_t device = 0;
    ino_t inode = 0;
  };
  // Keyed by host folder, "\n" and the folded name looked up.
  using NameLinks = std::unordered_map<std::string, NameLink>;
  // The link of key if the entry (entry_name, or the link's own name when
  // that is empty) is still the file it was; nullptr otherwise.
  static const NameLink* CachedLink(const NameLinks& links, const std::string& key,
                                    const std::string& host_dir, const std::string& entry_name);
  static void CacheLink(NameLinks* links, const std::string& key, const std::string& name,
                        const std::string& host_dir, const std::string& entry_name);

  FolderIndex index_;
  // Paths found to exist, by the text they were asked for with.
  std::unordered_map<std::string, HostLocation> located_;
  NameLinks short_names_by_long_;
  NameLinks long_names_by_short_;
};

}  // namespace qv::sandbox

#endif  // QV_PLATFORM_SANDBOX_MACHINE_H_
