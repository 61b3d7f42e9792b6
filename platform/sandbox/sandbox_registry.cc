// SandboxRegistry on SQLite.
//
// Schema (format "qv-registry", version 1):
//   meta(name, value)                       format and version
//   keys(id, parent, name, folded)          the key tree; the roots are rows
//                                           1..4 with no parent
//   vals(key, name, folded, type, data)     values, raw bytes
// Names are stored as blobs of ANSI bytes, exactly as created; "folded" is the
// case-folded form used for matching. Key ids are never reused, so a handle
// whose key was deleted cannot come to name another key.
#include "platform/sandbox/sandbox_registry.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <utility>

namespace qv::sandbox {

namespace {

constexpr uint32_t kErrorBadPathname = 161;
constexpr uint32_t kErrorRegistryIoFailed = 1016;
constexpr uint32_t kErrorKeyDeleted = 1018;

constexpr const char* kFormatName = "qv-registry";
constexpr int kFormatVersion = 1;
constexpr int kBusyTimeoutMs = 15000;

// Access rights beyond those in registry.h.
constexpr uint32_t kKeyCreateLink = 0x0020;
constexpr uint32_t kDelete = 0x00010000;
constexpr uint32_t kWriteDac = 0x00040000;
constexpr uint32_t kWriteOwner = 0x00080000;
constexpr uint32_t kMaximumAllowed = 0x02000000;
constexpr uint32_t kGenericAll = 0x10000000;
constexpr uint32_t kGenericExecute = 0x20000000;
constexpr uint32_t kGenericWrite = 0x40000000;
constexpr uint32_t kGenericRead = 0x80000000;
constexpr uint32_t kWriteRights =
    kKeySetValue | kKeyCreateSubKey | kKeyCreateLink | kDelete | kWriteDac | kWriteOwner;

constexpr RegHandle kFirstRoot = kHkeyClassesRoot;
constexpr RegHandle kLastRoot = kHkeyUsers;
constexpr RegHandle kFirstHandle = 0x100;
constexpr RegHandle kHandleStep = 4;

bool IsRoot(RegHandle handle) { return handle >= kFirstRoot && handle <= kLastRoot; }
int64_t RootKeyId(RegHandle root) { return int64_t{root - kFirstRoot} + 1; }

const char* RootName(RegHandle root) {
  switch (root) {
    case kHkeyClassesRoot:
      return "HKEY_CLASSES_ROOT";
    case kHkeyCurrentUser:
      return "HKEY_CURRENT_USER";
    case kHkeyLocalMachine:
      return "HKEY_LOCAL_MACHINE";
    default:
      return "HKEY_USERS";
  }
}

// Whether byte is the lead byte of a two-byte character in a double-byte code
// page (where the trail byte may look like "\").
bool IsLeadByte(uint32_t code_page, unsigned char byte) {
  switch (code_page) {
    case 932:
      return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
    case 936:
    case 949:
    case 950:
      return byte >= 0x81 && byte <= 0xFE;
    default:
      return false;
  }
}

uint32_t MapAccess(uint32_t sam, bool may_write) {
  uint32_t access =
      sam & ~(kGenericAll | kGenericExecute | kGenericWrite | kGenericRead | kMaximumAllowed);
  if (sam & kGenericRead) access |= kKeyRead;
  if (sam & kGenericExecute) access |= kKeyRead;
  if (sam & kGenericWrite) access |= kKeyWrite;
  if (sam & kGenericAll) access |= kKeyAllAccess;
  if (sam & kMaximumAllowed) access |= may_write ? kKeyAllAccess : kKeyRead;
  return access;
}

// A prepared statement, finalized when it goes out of scope.
class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
  ~Stmt() { sqlite3_finalize(stmt_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  bool ok() const { return rc_ == SQLITE_OK; }
  void Int(int index, int64_t value) {
    if (ok()) sqlite3_bind_int64(stmt_, index, value);
  }
  void Blob(int index, const std::string& value) {
    // A zero-length blob needs a non-null pointer or it binds NULL.
    static const char kEmpty = 0;
    if (ok()) {
      sqlite3_bind_blob(stmt_, index, value.empty() ? &kEmpty : value.data(),
                        static_cast<int>(value.size()), SQLITE_TRANSIENT);
    }
  }
  void Text(int index, const std::string& value) {
    if (ok()) {
      sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()),
                        SQLITE_TRANSIENT);
    }
  }
  // SQLITE_ROW, SQLITE_DONE or an error.
  int Step() { return ok() ? sqlite3_step(stmt_) : rc_; }
  bool Run() { return Step() == SQLITE_DONE; }
  int64_t ColumnInt(int column) { return sqlite3_column_int64(stmt_, column); }
  std::string ColumnBlob(int column) {
    const void* data = sqlite3_column_blob(stmt_, column);
    int size = sqlite3_column_bytes(stmt_, column);
    if (data == nullptr || size <= 0) return std::string();
    return std::string(static_cast<const char*>(data), size);
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  int rc_ = SQLITE_ERROR;
};

bool Exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// A transaction that rolls back unless committed. A write transaction takes
// the database's write lock at once (BEGIN IMMEDIATE), waiting up to the busy
// timeout for another process to finish.
class Transaction {
 public:
  Transaction(sqlite3* db, bool write) : db_(db) {
    active_ = Exec(db, write ? "BEGIN IMMEDIATE" : "BEGIN");
  }
  ~Transaction() {
    if (active_) Exec(db_, "ROLLBACK");
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  bool ok() const { return active_; }
  bool Commit() {
    if (!active_) return false;
    active_ = false;
    if (Exec(db_, "COMMIT")) return true;
    Exec(db_, "ROLLBACK");
    return false;
  }

 private:
  sqlite3* db_;
  bool active_ = false;
};

Status Damaged(const std::string& detail) {
  return Status::Corrupt("registry.db is damaged: " + detail);
}

// Makes the tables and the four roots in an empty database.
bool CreateSchema(sqlite3* db) {
  static const char* kSchema =
      "CREATE TABLE meta(name TEXT PRIMARY KEY, value TEXT NOT NULL);"
      "CREATE TABLE keys("
      "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
      "  parent INTEGER REFERENCES keys(id),"
      "  name BLOB NOT NULL,"
      "  folded BLOB NOT NULL,"
      "  UNIQUE(parent, folded));"
      "CREATE TABLE vals("
      "  key INTEGER NOT NULL REFERENCES keys(id),"
      "  name BLOB NOT NULL,"
      "  folded BLOB NOT NULL,"
      "  type INTEGER NOT NULL,"
      "  data BLOB NOT NULL,"
      "  PRIMARY KEY(key, folded));";
  if (!Exec(db, kSchema)) return false;
  {
    Stmt meta(db,
              "INSERT INTO meta(name, value) VALUES('format', ?1),"
              " ('version', ?2)");
    meta.Text(1, kFormatName);
    meta.Text(2, std::to_string(kFormatVersion));
    if (!meta.Run()) return false;
  }
  for (RegHandle root = kFirstRoot; root <= kLastRoot; ++root) {
    std::string name = RootName(root);
    Stmt insert(db,
                "INSERT INTO keys(id, parent, name, folded)"
                " VALUES(?1, NULL, ?2, ?3)");
    insert.Int(1, RootKeyId(root));
    insert.Blob(2, name);
    insert.Blob(3, FoldCase(name));
    if (!insert.Run()) return false;
  }
  return true;
}

// Checks that db holds a registry this version can use.
Status CheckSchema(sqlite3* db) {
  {
    Stmt tables(db,
                "SELECT count(*) FROM sqlite_master WHERE type = 'table'"
                " AND name IN ('meta', 'keys', 'vals')");
    if (tables.Step() != SQLITE_ROW || tables.ColumnInt(0) != 3) {
      return Damaged("it does not hold the registry tables");
    }
  }
  std::string format;
  int64_t version = 0;
  {
    Stmt meta(db, "SELECT name, value FROM meta");
    int rc;
    while ((rc = meta.Step()) == SQLITE_ROW) {
      std::string name = meta.ColumnBlob(0);
      std::string value = meta.ColumnBlob(1);
      if (name == "format") format = value;
      if (name == "version") version = std::atoll(value.c_str());
    }
    if (rc != SQLITE_DONE) return Damaged(sqlite3_errmsg(db));
  }
  if (format != kFormatName) {
    return Damaged("it is not a registry database (format \"" + format + "\")");
  }
  if (version < 1) return Damaged("its format version is missing");
  if (version > kFormatVersion) {
    return Status::Error(kErrorBadConfiguration, "registry.db has format version " +
                                                     std::to_string(version) +
                                                     ", newer than this program knows (" +
                                                     std::to_string(kFormatVersion) + ")");
  }
  Stmt roots(db,
             "SELECT count(*) FROM keys WHERE parent IS NULL"
             " AND id BETWEEN 1 AND 4");
  if (roots.Step() != SQLITE_ROW || roots.ColumnInt(0) != 4) {
    return Damaged("its root keys are missing");
  }
  return Status::OK();
}

}  // namespace

Status SandboxRegistry::Open(Machine* machine, bool create,
                             std::unique_ptr<SandboxRegistry>* result) {
  result->reset();
  const std::string path = machine->registry_db_path();
  struct stat info;
  const bool exists = ::stat(path.c_str(), &info) == 0;
  if (!exists && !create) {
    return Status::NotFound("registry.db is missing: " + path);
  }
  if (exists && !S_ISREG(info.st_mode)) {
    return Damaged(path + " is not a file");
  }
  sqlite3* db = nullptr;
  int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
  int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    std::string message = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close_v2(db);
    return Status::Error(kErrorRegistryIoFailed,
                         "cannot open registry.db (" + path + "): " + message);
  }
  // From here on the object owns db and closes it on every return.
  std::unique_ptr<SandboxRegistry> registry(new SandboxRegistry(machine, db));
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  sqlite3_extended_result_codes(db, 0);

  int64_t objects = 0;
  {
    Stmt count(db, "SELECT count(*) FROM sqlite_master");
    rc = count.Step();
    if (rc != SQLITE_ROW) {
      return Damaged(std::string(sqlite3_errstr(rc)) + " (" + path + ")");
    }
    objects = count.ColumnInt(0);
  }
  if (objects == 0) {
    // An empty database (a new file, or one of zero bytes): make the registry
    // when asked to, under the write lock so that two processes do not both
    // make it.
    if (!create) return Damaged("it holds no registry (" + path + ")");
    Transaction txn(db, true);
    if (!txn.ok()) {
      return Status::Error(kErrorRegistryIoFailed,
                           "cannot lock registry.db: " + std::string(sqlite3_errmsg(db)));
    }
    Stmt again(db, "SELECT count(*) FROM sqlite_master");
    if (again.Step() != SQLITE_ROW) return Damaged(sqlite3_errmsg(db));
    if (again.ColumnInt(0) == 0) {
      if (!CreateSchema(db) || !txn.Commit()) {
        return Status::Error(kErrorRegistryIoFailed,
                             "cannot make registry.db: " + std::string(sqlite3_errmsg(db)));
      }
    }
  }
  Status status = CheckSchema(db);
  if (!status.ok()) {
    return Status::Error(status.code(), status.message() + " (" + path + ")");
  }
  // Only a database known to be the registry is switched to write-ahead
  // logging (which changes its header). Readers then never wait for a
  // writer, and a commit needs no flush to disk: after a crash of the host
  // the registry is whole, though its last changes may be gone.
  if (!Exec(db, "PRAGMA journal_mode = WAL") || !Exec(db, "PRAGMA synchronous = NORMAL")) {
    return Status::Error(kErrorRegistryIoFailed,
                         "cannot set up registry.db: " + std::string(sqlite3_errmsg(db)));
  }
  *result = std::move(registry);
  return Status::OK();
}

SandboxRegistry::SandboxRegistry(Machine* machine, sqlite3* db) : machine_(machine), db_(db) {}

SandboxRegistry::~SandboxRegistry() { sqlite3_close_v2(db_); }

bool SandboxRegistry::MayWrite(RegHandle root) const {
  return system_access_ || machine_->MayWriteRegistryRoot(root);
}

std::string SandboxRegistry::Fold(const std::string& name) const {
  // Names are folded as text, so that a letter of the code page folds like
  // the same letter in a file name, and a trail byte of a double-byte
  // character is never taken for a letter.
  return FoldCase(machine_->codec().FromAnsi(name));
}

uint32_t SandboxRegistry::SplitPath(const std::string& sub_key,
                                    std::vector<std::string>* levels) const {
  levels->clear();
  // A path starts below the key it is given with, never at a root of its own.
  if (!sub_key.empty() && sub_key[0] == '\\') return kErrorBadPathname;
  const uint32_t code_page = machine_->codec().code_page();
  std::string level;
  bool empty_level = false;
  for (size_t i = 0; i < sub_key.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(sub_key[i]);
    if (IsLeadByte(code_page, c) && i + 1 < sub_key.size()) {
      level.push_back(sub_key[i]);
      level.push_back(sub_key[++i]);
    } else if (c == '\\') {
      if (level.empty()) empty_level = true;
      levels->push_back(std::move(level));
      level.clear();
    } else {
      level.push_back(sub_key[i]);
    }
  }
  if (!level.empty()) {
    levels->push_back(std::move(level));
  } else {
    // Trailing separators end the path; drop the empty levels they made.
    while (!levels->empty() && levels->back().empty()) levels->pop_back();
    empty_level = false;
    for (const std::string& l : *levels) empty_level |= l.empty();
  }
  if (empty_level) {
    levels->clear();
    return kErrorBadPathname;
  }
  return kErrorSuccess;
}

uint32_t SandboxRegistry::Resolve(RegHandle handle, OpenKey* key) {
  if (IsRoot(handle)) {
    key->key_id = RootKeyId(handle);
    key->root = handle;
    key->access = kKeyAllAccess;
    return kErrorSuccess;
  }
  auto it = handles_.find(handle);
  if (it == handles_.end()) return kErrorInvalidHandle;
  *key = it->second;
  Stmt exists(db_, "SELECT 1 FROM keys WHERE id = ?1");
  exists.Int(1, key->key_id);
  int rc = exists.Step();
  if (rc == SQLITE_ROW) return kErrorSuccess;
  if (rc == SQLITE_DONE) return kErrorKeyDeleted;
  return kErrorRegistryIoFailed;
}

uint32_t SandboxRegistry::Walk(int64_t start, const std::vector<std::string>& levels, size_t* found,
                               int64_t* id, std::string* stored_path) {
  *found = 0;
  *id = start;
  for (const std::string& level : levels) {
    Stmt child(db_,
               "SELECT id, name FROM keys WHERE parent = ?1"
               " AND folded = ?2");
    child.Int(1, *id);
    child.Blob(2, Fold(level));
    int rc = child.Step();
    if (rc == SQLITE_DONE) return kErrorSuccess;
    if (rc != SQLITE_ROW) return kErrorRegistryIoFailed;
    *id = child.ColumnInt(0);
    if (stored_path != nullptr) {
      if (!stored_path->empty()) stored_path->push_back('\\');
      stored_path->append(child.ColumnBlob(1));
    }
    ++*found;
  }
  return kErrorSuccess;
}

RegHandle SandboxRegistry::NewHandle(const OpenKey& key) {
  // Handles count up in steps of four below the roots' range and wrap
  // around, skipping any still open.
  while (next_handle_ < kFirstHandle || next_handle_ >= kFirstRoot ||
         handles_.count(next_handle_) != 0) {
    next_handle_ += kHandleStep;
    if (next_handle_ >= kFirstRoot) next_handle_ = kFirstHandle;
  }
  RegHandle handle = next_handle_;
  next_handle_ += kHandleStep;
  handles_[handle] = key;
  return handle;
}

uint32_t SandboxRegistry::OpenOrCreate(RegHandle key, const std::string& sub_key, uint32_t sam,
                                       bool create, RegHandle* result, uint32_t* disposition) {
  if (result != nullptr) *result = 0;
  std::vector<std::string> levels;
  uint32_t rc = SplitPath(sub_key, &levels);
  if (rc != kErrorSuccess) return rc;

  Transaction txn(db_, create);
  if (!txn.ok()) return kErrorRegistryIoFailed;
  OpenKey parent;
  rc = Resolve(key, &parent);
  if (rc != kErrorSuccess) return rc;

  const bool may_write = MayWrite(parent.root);
  const uint32_t access = MapAccess(sam, may_write);
  size_t found = 0;
  int64_t id = 0;
  rc = Walk(parent.key_id, levels, &found, &id, nullptr);
  if (rc != kErrorSuccess) return rc;
  const bool missing = found < levels.size();
  if (missing && !create) return kErrorFileNotFound;
  // Making a key is a write, and so is opening one (new or old) for any
  // right that changes it.
  if ((missing || (access & kWriteRights) != 0) && !may_write) {
    return kErrorAccessDenied;
  }
  for (size_t i = found; i < levels.size(); ++i) {
    Stmt insert(db_, "INSERT INTO keys(parent, name, folded) VALUES(?1, ?2, ?3)");
    insert.Int(1, id);
    insert.Blob(2, levels[i]);
    insert.Blob(3, Fold(levels[i]));
    if (!insert.Run()) return kErrorRegistryIoFailed;
    id = sqlite3_last_insert_rowid(db_);
  }
  if (!txn.Commit()) return kErrorRegistryIoFailed;

  OpenKey opened;
  opened.key_id = id;
  opened.root = parent.root;
  opened.access = access;
  RegHandle handle = NewHandle(opened);
  if (result != nullptr) {
    *result = handle;
  } else {
    handles_.erase(handle);  // nowhere to return it: do not leak it
  }
  if (disposition != nullptr) {
    *disposition = missing ? kRegCreatedNewKey : kRegOpenedExistingKey;
  }
  return kErrorSuccess;
}

uint32_t SandboxRegistry::CreateKeyEx(RegHandle key, const std::string& sub_key,
                                      uint32_t /*reserved*/, const std::string& /*key_class*/,
                                      uint32_t /*options*/, uint32_t sam, RegHandle* result,
                                      uint32_t* disposition) {
  return OpenOrCreate(key, sub_key, sam, true, result, disposition);
}

uint32_t SandboxRegistry::OpenKeyEx(RegHandle key, const std::string& sub_key, uint32_t /*options*/,
                                    uint32_t sam, RegHandle* result) {
  return OpenOrCreate(key, sub_key, sam, false, result, nullptr);
}

uint32_t SandboxRegistry::SetValueEx(RegHandle key, const std::string& value_name,
                                     uint32_t /*reserved*/, uint32_t type, const uint8_t* data,
                                     uint32_t size) {
  if (data == nullptr && size != 0) return kErrorInvalidParameter;
  Transaction txn(db_, true);
  if (!txn.ok()) return kErrorRegistryIoFailed;
  OpenKey open;
  uint32_t rc = Resolve(key, &open);
  if (rc != kErrorSuccess) return rc;
  if ((open.access & kKeySetValue) == 0 || !MayWrite(open.root)) {
    return kErrorAccessDenied;
  }
  // Overwriting keeps the name as first written, as Windows does.
  Stmt upsert(db_,
              "INSERT INTO vals(key, name, folded, type, data)"
              " VALUES(?1, ?2, ?3, ?4, ?5)"
              " ON CONFLICT(key, folded) DO UPDATE SET"
              " type = excluded.type, data = excluded.data");
  upsert.Int(1, open.key_id);
  upsert.Blob(2, value_name);
  upsert.Blob(3, Fold(value_name));
  upsert.Int(4, type);
  upsert.Blob(5,
              size == 0 ? std::string() : std::string(reinterpret_cast<const char*>(data), size));
  if (!upsert.Run() || !txn.Commit()) return kErrorRegistryIoFailed;
  return kErrorSuccess;
}

uint32_t SandboxRegistry::DeleteValue(RegHandle key, const std::string& value_name) {
  Transaction txn(db_, true);
  if (!txn.ok()) return kErrorRegistryIoFailed;
  OpenKey open;
  uint32_t rc = Resolve(key, &open);
  if (rc != kErrorSuccess) return rc;
  if ((open.access & kKeySetValue) == 0 || !MayWrite(open.root)) {
    return kErrorAccessDenied;
  }
  Stmt erase(db_, "DELETE FROM vals WHERE key = ?1 AND folded = ?2");
  erase.Int(1, open.key_id);
  erase.Blob(2, Fold(value_name));
  if (!erase.Run()) return kErrorRegistryIoFailed;
  if (sqlite3_changes(db_) == 0) return kErrorFileNotFound;
  if (!txn.Commit()) return kErrorRegistryIoFailed;
  return kErrorSuccess;
}

uint32_t SandboxRegistry::DeleteKey(RegHandle key, const std::string& sub_key) {
  std::vector<std::string> levels;
  uint32_t rc = SplitPath(sub_key, &levels);
  if (rc != kErrorSuccess) return rc;
  Transaction txn(db_, true);
  if (!txn.ok()) return kErrorRegistryIoFailed;
  OpenKey parent;
  rc = Resolve(key, &parent);
  if (rc != kErrorSuccess) return rc;
  size_t found = 0;
  int64_t id = 0;
  rc = Walk(parent.key_id, levels, &found, &id, nullptr);
  if (rc != kErrorSuccess) return rc;
  if (found < levels.size()) return kErrorFileNotFound;
  // A root cannot be deleted, nor anything below a root the user may not
  // change.
  if (IsRoot(key) && levels.empty()) return kErrorAccessDenied;
  if (!MayWrite(parent.root)) return kErrorAccessDenied;

  bool has_subkeys = false;
  {
    Stmt child(db_, "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1");
    child.Int(1, id);
    int step = child.Step();
    if (step != SQLITE_ROW && step != SQLITE_DONE) return kErrorRegistryIoFailed;
    has_subkeys = step == SQLITE_ROW;
  }
  // The NT family deletes only keys without subkeys; the 9x family takes the
  // whole tree.
  if (has_subkeys && machine_->is_nt()) return kErrorAccessDenied;

  static const char* kTree =
      "WITH RECURSIVE tree(id) AS (SELECT ?1 UNION ALL"
      " SELECT keys.id FROM keys JOIN tree ON keys.parent = tree.id) ";
  std::string erase_values =
      std::string(kTree) + "DELETE FROM vals WHERE key IN (SELECT id FROM tree)";
  std::string erase_keys =
      std::string(kTree) + "DELETE FROM keys WHERE id IN (SELECT id FROM tree)";
  Stmt values(db_, erase_values.c_str());
  values.Int(1, id);
  if (!values.Run()) return kErrorRegistryIoFailed;
  Stmt keys(db_, erase_keys.c_str());
  keys.Int(1, id);
  if (!keys.Run() || !txn.Commit()) return kErrorRegistryIoFailed;
  return kErrorSuccess;
}

uint32_t SandboxRegistry::QueryValueEx(RegHandle key, const std::string& value_name,
                                       uint32_t* /*reserved*/, uint32_t* type, uint8_t* data,
                                       uint32_t* size) {
  if (data != nullptr && size == nullptr) return kErrorInvalidParameter;
  std::string bytes;
  uint32_t value_type = 0;
  {
    Transaction txn(db_, false);
    if (!txn.ok()) return kErrorRegistryIoFailed;
    OpenKey open;
    uint32_t rc = Resolve(key, &open);
    if (rc != kErrorSuccess) return rc;
    if ((open.access & kKeyQueryValue) == 0) return kErrorAccessDenied;
    Stmt value(db_, "SELECT type, data FROM vals WHERE key = ?1 AND folded = ?2");
    value.Int(1, open.key_id);
    value.Blob(2, Fold(value_name));
    int step = value.Step();
    if (step == SQLITE_DONE) return kErrorFileNotFound;
    if (step != SQLITE_ROW) return kErrorRegistryIoFailed;
    value_type = static_cast<uint32_t>(value.ColumnInt(0));
    bytes = value.ColumnBlob(1);
  }
  if (type != nullptr) *type = value_type;
  const uint32_t needed = static_cast<uint32_t>(bytes.size());
  if (data == nullptr) {
    if (size != nullptr) *size = needed;
    return kErrorSuccess;
  }
  if (*size < needed) {
    *size = needed;
    return kErrorMoreData;
  }
  if (needed != 0) std::memcpy(data, bytes.data(), needed);
  *size = needed;
  return kErrorSuccess;
}

uint32_t SandboxRegistry::CloseKey(RegHandle key) {
  if (IsRoot(key)) return kErrorSuccess;
  return handles_.erase(key) != 0 ? kErrorSuccess : kErrorInvalidHandle;
}

uint32_t SandboxRegistry::EnumKey(RegHandle key, const std::string& sub_key,
                                  std::vector<Value>* values, std::vector<std::string>* subkeys) {
  if (values != nullptr) values->clear();
  if (subkeys != nullptr) subkeys->clear();
  std::vector<std::string> levels;
  uint32_t rc = SplitPath(sub_key, &levels);
  if (rc != kErrorSuccess) return rc;
  Transaction txn(db_, false);
  if (!txn.ok()) return kErrorRegistryIoFailed;
  OpenKey open;
  rc = Resolve(key, &open);
  if (rc != kErrorSuccess) return rc;
  size_t found = 0;
  int64_t id = 0;
  rc = Walk(open.key_id, levels, &found, &id, nullptr);
  if (rc != kErrorSuccess) return rc;
  if (found < levels.size()) return kErrorFileNotFound;
  int step;
  if (values != nullptr) {
    Stmt list(db_,
              "SELECT name, type, data FROM vals WHERE key = ?1"
              " ORDER BY folded");
    list.Int(1, id);
    while ((step = list.Step()) == SQLITE_ROW) {
      Value value;
      value.name = list.ColumnBlob(0);
      value.type = static_cast<uint32_t>(list.ColumnInt(1));
      value.data = list.ColumnBlob(2);
      values->push_back(std::move(value));
    }
    if (step != SQLITE_DONE) return kErrorRegistryIoFailed;
  }
  if (subkeys != nullptr) {
    Stmt list(db_, "SELECT name FROM keys WHERE parent = ?1 ORDER BY folded");
    list.Int(1, id);
    while ((step = list.Step()) == SQLITE_ROW) {
      subkeys->push_back(list.ColumnBlob(0));
    }
    if (step != SQLITE_DONE) return kErrorRegistryIoFailed;
  }
  return kErrorSuccess;
}

uint32_t SandboxRegistry::OpenHandleCount() const { return static_cast<uint32_t>(handles_.size()); }

uint32_t SandboxRegistry::StoredKeyPath(RegHandle key, const std::string& sub_key,
                                        std::string* path) {
  path->clear();
  std::vector<std::string> levels;
  uint32_t rc = SplitPath(sub_key, &levels);
  if (rc != kErrorSuccess) return rc;
  Transaction txn(db_, false);
  if (!txn.ok()) return kErrorRegistryIoFailed;
  OpenKey open;
  rc = Resolve(key, &open);
  if (rc != kErrorSuccess) return rc;
  size_t found = 0;
  int64_t id = 0;
  std::string stored;
  rc = Walk(open.key_id, levels, &found, &id, &stored);
  if (rc != kErrorSuccess) return rc;
  if (found < levels.size()) return kErrorFileNotFound;
  *path = std::move(stored);
  return kErrorSuccess;
}

}  // namespace qv::sandbox
