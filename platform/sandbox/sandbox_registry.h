// SandboxRegistry: the machine's registry, kept in ROOT/registry.db.
//
// Keys form a tree below the four roots; values hold a type and raw bytes
// (text in the machine's ANSI code page, as the ANSI calls pass it). Every
// change is one SQLite transaction, so several processes may use the same
// machine at once and a failed change leaves nothing half done. Writes are
// refused (ERROR_ACCESS_DENIED) below roots the profile does not let the user
// change. Open handles live in this object only.
//
// Names: key and value names match without regard to case (ASCII and Latin-1
// letters of the machine's code page) and keep the case they were created
// with. The four roots are separate trees. A sub key may end in "\" (the
// empty last level is ignored); one that begins with "\" or holds an empty
// level ("A\\B") is refused with ERROR_BAD_PATHNAME (161).
//
// Handles: 32-bit values from 0x100 up, never colliding with the roots.
// Deleting a key (here or in another process) makes the handles open on it
// fail with ERROR_KEY_DELETED (1018); closing them still works. A failure of
// the database itself (locked beyond the busy timeout, disk full) gives
// ERROR_REGISTRY_IO_FAILED (1016).
//
// The database runs in write-ahead-log mode (registry.db-wal and
// registry.db-shm lie beside it while it is open); a file that is not a
// registry is refused and never changed.
//
// One object is used from one thread. Several objects, in one process or in
// several, may share one registry.db.
#ifndef QV_PLATFORM_SANDBOX_SANDBOX_REGISTRY_H_
#define QV_PLATFORM_SANDBOX_SANDBOX_REGISTRY_H_

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/sandbox/machine.h"

struct sqlite3;

namespace qv::sandbox {

class SandboxRegistry : public Registry {
 public:
  ~SandboxRegistry() override;

  // Opens the machine's registry database (ROOT/registry.db). With create
  // set, a missing database is made empty; otherwise a missing one is an
  // error. Fails with a clear message when the file is not a registry
  // database.
  static Status Open(Machine* machine, bool create, std::unique_ptr<SandboxRegistry>* result);

  uint32_t CreateKeyEx(RegHandle key, const std::string& sub_key, uint32_t reserved,
                       const std::string& key_class, uint32_t options, uint32_t sam,
                       RegHandle* result, uint32_t* disposition) override;
  uint32_t OpenKeyEx(RegHandle key, const std::string& sub_key, uint32_t options, uint32_t sam,
                     RegHandle* result) override;
  uint32_t SetValueEx(RegHandle key, const std::string& value_name, uint32_t reserved,
                      uint32_t type, const uint8_t* data, uint32_t size) override;
  uint32_t DeleteValue(RegHandle key, const std::string& value_name) override;
  uint32_t DeleteKey(RegHandle key, const std::string& sub_key) override;
  uint32_t QueryValueEx(RegHandle key, const std::string& value_name, uint32_t* reserved,
                        uint32_t* type, uint8_t* data, uint32_t* size) override;
  uint32_t CloseKey(RegHandle key) override;

  // Beyond the seven calls, for the machine tools (qvinit machine reg) and
  // the next start of the machine. Names are ANSI bytes like above.
  struct Value {
    std::string name;
    uint32_t type = 0;
    std::string data;  // raw bytes
  };
  // The values of a key (sorted by name) and its subkey names.
  uint32_t EnumKey(RegHandle key, const std::string& sub_key, std::vector<Value>* values,
                   std::vector<std::string>* subkeys);
  uint32_t OpenHandleCount() const;

  // The path of sub_key below key with every level spelled as stored
  // ("SOFTWARE\Microsoft" for "software\microsoft"). ERROR_FILE_NOT_FOUND
  // when the key does not exist.
  uint32_t StoredKeyPath(RegHandle key, const std::string& sub_key, std::string* path);

  // While set, this object acts for the machine itself (machine set-up, the
  // next start, the machine tools) rather than for its user: the profile's
  // registry rights are not checked. Handles opened meanwhile keep the access
  // they were given.
  void set_system_access(bool on) { system_access_ = on; }
  bool system_access() const { return system_access_; }

 private:
  struct OpenKey {
    int64_t key_id = 0;
    RegHandle root = 0;
    uint32_t access = 0;
  };

  SandboxRegistry(Machine* machine, sqlite3* db);

  bool MayWrite(RegHandle root) const;
  // The folded form of a name, for comparison.
  std::string Fold(const std::string& name) const;
  // Splits sub_key into its levels; 0 or ERROR_BAD_PATHNAME.
  uint32_t SplitPath(const std::string& sub_key, std::vector<std::string>* levels) const;
  // Looks up a handle and checks that its key still exists. Must run inside a
  // transaction.
  uint32_t Resolve(RegHandle handle, OpenKey* key);
  // Walks levels below start. *found is how many levels exist; *id the last
  // one found (start when none). 0 or ERROR_REGISTRY_IO_FAILED.
  uint32_t Walk(int64_t start, const std::vector<std::string>& levels, size_t* found, int64_t* id,
                std::string* stored_path);
  uint32_t OpenOrCreate(RegHandle key, const std::string& sub_key, uint32_t sam, bool create,
                        RegHandle* result, uint32_t* disposition);
  RegHandle NewHandle(const OpenKey& key);

  Machine* machine_;
  sqlite3* db_;
  std::map<RegHandle, OpenKey> handles_;
  RegHandle next_handle_ = 0x100;
  bool system_access_ = false;
};

}  // namespace qv::sandbox

#endif  // QV_PLATFORM_SANDBOX_SANDBOX_REGISTRY_H_
