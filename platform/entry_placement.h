// EntryPlacement: the all-or-nothing end of an expansion, the same for every
// backend's Expander.
//
// The expander writes each entry under a temporary name "~qvx<pid>_<n>.tmp"
// in the folder it belongs to (NewTempName, Add) and makes the folders that
// are missing through EnsureFolder. Commit then puts the entries in place in
// the order they were added: a file an entry replaces is first moved aside
// under such a temporary name; when an entry cannot be put in place, the
// entries already placed are taken back and the files moved aside return.
// Unless Commit succeeded, the destructor deletes the temporary files and the
// folders made, newest first. Everything goes through the FileSystem given.
#ifndef QV_PLATFORM_ENTRY_PLACEMENT_H_
#define QV_PLATFORM_ENTRY_PLACEMENT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/status.h"

namespace qv {

class EntryPlacement {
 public:
  // process_id names the temporary files.
  EntryPlacement(FileSystem* files, uint32_t process_id);
  ~EntryPlacement();
  EntryPlacement(const EntryPlacement&) = delete;
  EntryPlacement& operator=(const EntryPlacement&) = delete;

  // A temporary name in folder that no file has yet.
  Status NewTempName(const std::string& folder, std::string* temp);
  // Makes folder when it is missing (its parent exists); entry names the
  // archive's entry that needs it, for the message.
  Status EnsureFolder(const std::string& entry, const std::string& folder);
  // The entry `entry` of the archive, written to temp, goes to final_path
  // (temp and final_path in folder).
  void Add(const std::string& temp, const std::string& final_path, const std::string& folder,
           const std::string& entry);
  // Puts every entry in place; *files_written counts them.
  Status Commit(int32_t* files_written);

 private:
  struct Pending {
    std::string temp;        // the written entry
    std::string final_path;  // where it goes
    std::string folder;      // the folder of both
    std::string entry;       // its name in the archive
    std::string aside;       // the file it replaces, moved aside; "" when none
    std::string placed;      // final_path once the entry is there
  };

  // Moves the file the entry replaces aside, then the entry in its place.
  // On a failure nothing has changed.
  Status Place(Pending* p);
  // Takes back the entries placed before entry `failed`, newest first: a
  // replaced file returns, a new one is deleted.
  void TakeBack(size_t failed);

  FileSystem* files_;
  uint32_t process_id_;
  std::vector<Pending> pending_;
  std::vector<std::string> made_folders_;
  bool committed_ = false;
};

}  // namespace qv

#endif  // QV_PLATFORM_ENTRY_PLACEMENT_H_
