// Storage on SQLite: a pool of connections, one prepared-statement cache per
// connection, one transaction per change, and the schema's migration steps.
#include "server/sqlite_storage.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <iterator>
#include <map>
#include <utility>

#include "server/credentials.h"

namespace qv::server {

namespace {

// "QVSV": marks the file as this server's database.
constexpr int64_t kApplicationId = 0x51565356;
constexpr int kBusyTimeoutMs = 10000;

// The schema's migration steps: step i brings a database of version i to
// version i + 1. Version 1 is the first schema; never change a step that was
// released, add one.
constexpr const char* kMigrations[] = {
    // 1: users, install lists, login IDs, login notes.
    R"sql(
CREATE TABLE users (
  key_name TEXT NOT NULL,
  login TEXT NOT NULL,
  password_hash TEXT NOT NULL,
  created TEXT NOT NULL,
  PRIMARY KEY (key_name, login)
);
CREATE TABLE install_lists (
  key_name TEXT PRIMARY KEY,
  document TEXT NOT NULL,
  updated TEXT NOT NULL,
  generation INTEGER NOT NULL
);
CREATE TABLE logins (
  login_id TEXT PRIMARY KEY,
  key_name TEXT NOT NULL,
  login TEXT NOT NULL,
  remote_address TEXT NOT NULL,
  issued_at INTEGER NOT NULL,
  expires_at INTEGER NOT NULL
);
CREATE INDEX logins_by_expiry ON logins (expires_at);
CREATE TABLE login_notes (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  login_id TEXT NOT NULL,
  time TEXT NOT NULL,
  text TEXT NOT NULL
);
)sql",
    // 2: the login throttle's failure counts, shared by every process.
    R"sql(
CREATE TABLE throttle_accounts (
  key_name TEXT NOT NULL,
  login TEXT NOT NULL,
  failures INTEGER NOT NULL,
  last_failure INTEGER NOT NULL,
  held_until INTEGER NOT NULL,
  expires INTEGER NOT NULL,
  PRIMARY KEY (key_name, login)
);
CREATE INDEX throttle_accounts_by_expiry ON throttle_accounts (expires);
CREATE TABLE throttle_addresses (
  address TEXT PRIMARY KEY,
  failures INTEGER NOT NULL,
  last_failure INTEGER NOT NULL,
  held_until INTEGER NOT NULL,
  expires INTEGER NOT NULL
);
CREATE INDEX throttle_addresses_by_expiry ON throttle_addresses (expires);
)sql",
    // 3: the console's accounts and sessions; users can be disabled.
    R"sql(
ALTER TABLE users ADD COLUMN disabled INTEGER NOT NULL DEFAULT 0;
CREATE TABLE admins (
  name TEXT PRIMARY KEY,
  password_hash TEXT NOT NULL,
  created TEXT NOT NULL
);
CREATE TABLE console_sessions (
  id_hash TEXT PRIMARY KEY,
  admin TEXT NOT NULL,
  csrf_token TEXT NOT NULL,
  created INTEGER NOT NULL,
  expires INTEGER NOT NULL
);
CREATE INDEX console_sessions_by_expiry ON console_sessions (expires);
)sql",
    // 4: the clients and what they last said, logins per day, the lists
    // handed out, and the account of each note.
    R"sql(
CREATE TABLE clients (
  key_name TEXT NOT NULL,
  login TEXT NOT NULL,
  first_seen INTEGER NOT NULL,
  last_seen INTEGER NOT NULL,
  last_address TEXT NOT NULL DEFAULT '',
  last_agent TEXT NOT NULL DEFAULT '',
  last_report TEXT NOT NULL DEFAULT '',
  last_report_time INTEGER NOT NULL DEFAULT 0,
  last_generation INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY (key_name, login)
);
CREATE TABLE login_days (
  day TEXT NOT NULL,
  key_name TEXT NOT NULL,
  logins INTEGER NOT NULL,
  PRIMARY KEY (day, key_name)
);
CREATE TABLE install_list_history (
  generation INTEGER NOT NULL,
  key_name TEXT NOT NULL,
  document TEXT NOT NULL,
  imported TEXT NOT NULL,
  PRIMARY KEY (key_name, generation)
);
INSERT INTO install_list_history (generation, key_name, document, imported)
  SELECT generation, key_name, document, updated FROM install_lists;
ALTER TABLE login_notes ADD COLUMN key_name TEXT NOT NULL DEFAULT '';
ALTER TABLE login_notes ADD COLUMN login TEXT NOT NULL DEFAULT '';
UPDATE login_notes SET key_name = l.key_name, login = l.login
  FROM logins AS l WHERE l.login_id = login_notes.login_id;
)sql",
};
constexpr int64_t kSchemaVersion = std::size(kMigrations);

std::string SqliteText(sqlite3* db) { return db != nullptr ? sqlite3_errmsg(db) : "out of memory"; }

// The Windows error code closest to an SQLite result code.
uint32_t WinErrorOfSqlite(int rc) {
  switch (rc & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return kErrorSharingViolation;
    case SQLITE_NOMEM:
      return kErrorNotEnoughMemory;
    case SQLITE_PERM:
    case SQLITE_READONLY:
    case SQLITE_AUTH:
      return kErrorAccessDenied;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return kErrorInvalidData;
    case SQLITE_FULL:
      return kErrorDiskFull;
    case SQLITE_CANTOPEN:
      return kErrorPathNotFound;
    case SQLITE_IOERR:
      return kErrorWriteFault;
    case SQLITE_CONSTRAINT:
      return kErrorAlreadyExists;
    default:
      return kErrorInvalidFunction;
  }
}

// What the last call on db that failed with rc said.
Status SqliteError(sqlite3* db, int rc, const std::string& context = "database error") {
  return Status::Error(WinErrorOfSqlite(rc), context + ": " + SqliteText(db));
}

// The first column of the first row of sql (a PRAGMA that reads a number).
Status ReadInteger(sqlite3* db, const char* sql, int64_t* value) {
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
  if (rc != SQLITE_OK) return SqliteError(db, rc);
  rc = sqlite3_step(statement);
  Status status = rc == SQLITE_ROW ? Status::OK() : SqliteError(db, rc);
  if (rc == SQLITE_ROW) *value = sqlite3_column_int64(statement, 0);
  sqlite3_finalize(statement);
  return status;
}

}  // namespace

// One SQLite connection and its prepared statements. Used by one thread at a
// time (the pool hands it out), so it needs no lock of its own.
class SqliteStorage::Connection {
 public:
  static Status Open(const std::string& path, bool create,
                     std::unique_ptr<Connection>* connection) {
    sqlite3* db = nullptr;
    const int flags =
        SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
    const int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    std::unique_ptr<Connection> opened(new Connection(db));
    if (rc != SQLITE_OK) return SqliteError(db, rc, "cannot open the database " + path);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    // In WAL mode NORMAL loses no committed change on a crash of the
    // program, only possibly the last ones on a power cut.
    Status status = opened->Exec("PRAGMA synchronous = NORMAL");
    if (status.ok()) *connection = std::move(opened);
    return status;
  }

  ~Connection() {
    for (auto& [sql, statement] : statements_) sqlite3_finalize(statement);
    sqlite3_close_v2(db_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  sqlite3* db() const { return db_; }

  Status Exec(const char* sql) {
    char* message = nullptr;
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &message);
    if (rc == SQLITE_OK) return Status::OK();
    Status status =
        Status::Error(WinErrorOfSqlite(rc), std::string("database error: ") +
                                                (message != nullptr ? message : SqliteText(db_)));
    sqlite3_free(message);
    return status;
  }

  // The prepared statement of sql, made on first use. sql must be a string
  // that lives as long as the program (the cache is keyed by its address).
  Status Prepare(const char* sql, sqlite3_stmt** statement) {
    auto found = statements_.find(sql);
    if (found != statements_.end()) {
      *statement = found->second;
      return Status::OK();
    }
    const int rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, statement, nullptr);
    if (rc != SQLITE_OK) {
      *statement = nullptr;
      return SqliteError(db_, rc);
    }
    statements_.emplace(sql, *statement);
    return Status::OK();
  }

 private:
  explicit Connection(sqlite3* db) : db_(db) {}

  sqlite3* db_;
  std::map<const char*, sqlite3_stmt*> statements_;
};

namespace {

// A cached statement in use: bound, stepped, and reset when it goes out of
// scope so that the connection can run it again. status() says why there is
// no statement.
class Query {
 public:
  Query(sqlite3* db, sqlite3_stmt* statement, Status status)
      : db_(db), statement_(statement), status_(std::move(status)) {}
  ~Query() {
    if (statement_ != nullptr) {
      sqlite3_reset(statement_);
      sqlite3_clear_bindings(statement_);
    }
  }
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  const Status& status() const { return status_; }
  Query& Bind(int index, const std::string& text) {
    sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
    return *this;
  }
  Query& Bind(int index, int64_t value) {
    sqlite3_bind_int64(statement_, index, value);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE, or an error code (which Error describes).
  int Step() { return sqlite3_step(statement_); }
  Status Error(int rc) const { return SqliteError(db_, rc); }
  // Steps a statement that returns no rows.
  Status Run() {
    const int rc = Step();
    return rc == SQLITE_DONE ? Status::OK() : Error(rc);
  }
  std::string Text(int column) const {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
    return text != nullptr ? std::string(text, sqlite3_column_bytes(statement_, column)) : "";
  }
  int64_t Integer(int column) const { return sqlite3_column_int64(statement_, column); }

 private:
  sqlite3* db_;
  sqlite3_stmt* statement_;
  Status status_;
};

// A write transaction: BEGIN IMMEDIATE takes the write lock at once, so two
// writers never deadlock half-way; rolled back unless committed.
class Transaction {
 public:
  explicit Transaction(sqlite3* db) : db_(db) {}
  ~Transaction() {
    if (open_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  Status Begin() {
    const int rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return SqliteError(db_, rc);
    open_ = true;
    return Status::OK();
  }
  Status Commit() {
    const int rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return SqliteError(db_, rc);
    open_ = false;
    return Status::OK();
  }

 private:
  sqlite3* db_;
  bool open_ = false;
};

}  // namespace

// A connection borrowed from the pool for the length of one call; status()
// says why there is none.
class SqliteStorage::Lease {
 public:
  explicit Lease(SqliteStorage* storage)
      : storage_(storage), status_(storage->Acquire(&connection_)) {}
  ~Lease() {
    if (connection_ != nullptr) storage_->Release(std::move(connection_));
  }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;

  const Status& status() const { return status_; }
  sqlite3* db() const { return connection_->db(); }
  Query Statement(const char* sql) {
    sqlite3_stmt* statement = nullptr;
    Status prepared = connection_->Prepare(sql, &statement);
    return Query(connection_->db(), statement, std::move(prepared));
  }

 private:
  SqliteStorage* storage_;
  std::unique_ptr<Connection> connection_;
  Status status_;
};

namespace {

// Brings the database of connection from version up to kSchemaVersion, one
// step a transaction. Each step reads the version again inside its
// transaction, so two processes doing this at once apply each step once.
Status Migrate(sqlite3* db, int64_t version) {
  for (; version < kSchemaVersion; ++version) {
    Transaction transaction(db);
    Status status = transaction.Begin();
    int64_t current = 0;
    if (status.ok()) status = ReadInteger(db, "PRAGMA user_version", &current);
    if (!status.ok()) return status;
    if (current > version) continue;  // done by another process meanwhile
    char* message = nullptr;
    const std::string step = std::string(kMigrations[version]) +
                             "PRAGMA application_id = " + std::to_string(kApplicationId) +
                             "; PRAGMA user_version = " + std::to_string(version + 1) + ";";
    const int rc = sqlite3_exec(db, step.c_str(), nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
      status =
          Status::Error(WinErrorOfSqlite(rc), "schema step " + std::to_string(version + 1) + ": " +
                                                  (message != nullptr ? message : SqliteText(db)));
      sqlite3_free(message);
      return status;
    }
    status = transaction.Commit();
    if (!status.ok()) return status;
  }
  return Status::OK();
}

}  // namespace

Status SqliteStorage::Open(const StorageOptions& options, Mode mode,
                           std::unique_ptr<Storage>* storage) {
  const std::string& path = options.path;
  struct stat st;
  const bool exists = ::stat(path.c_str(), &st) == 0;
  const bool has_contents = exists && st.st_size > 0;
  if (mode == Mode::kOpenExisting && !exists) {
    return Status::NotFound("no database at " + path + " (make one with \"qvserver init\")");
  }

  std::unique_ptr<Connection> first;
  Status status = Connection::Open(path, mode == Mode::kCreate, &first);
  if (!status.ok()) return status;
  int64_t application_id = 0, version = 0;
  if (has_contents) {
    status = ReadInteger(first->db(), "PRAGMA application_id", &application_id);
    if (status.ok()) status = ReadInteger(first->db(), "PRAGMA user_version", &version);
    if (!status.ok() && mode == Mode::kOpenExisting) {
      return Status::Corrupt(path + " is not a qvserver database (" + status.message() + ")");
    }
    if (!status.ok() || application_id != kApplicationId) {
      return mode == Mode::kCreate ? Status::Error(kErrorFileExists, path + " exists already")
                                   : Status::Corrupt(path + " is not a qvserver database");
    }
    if (version > kSchemaVersion || (mode == Mode::kOpenExisting && version < kSchemaVersion)) {
      return SchemaMismatch(path, version, kSchemaVersion);
    }
    if (mode == Mode::kCreate && version == kSchemaVersion) {
      return Status::Error(kErrorFileExists, path + " exists already (its schema is current)");
    }
  } else if (mode == Mode::kOpenExisting) {
    return Status::Corrupt(path + " is not a qvserver database (it is empty)");
  }
  if (mode == Mode::kCreate) {
    status = first->Exec("PRAGMA journal_mode = WAL");
    if (status.ok()) status = Migrate(first->db(), version);
    if (!status.ok()) {
      return Status::Error(status.code(),
                           (has_contents ? "cannot bring the database " + path + " up to date: "
                                         : "cannot make the database " + path + ": ") +
                               status.message());
    }
  }

  std::unique_ptr<SqliteStorage> opened(new SqliteStorage(options));
  opened->idle_.push_back(std::move(first));
  *storage = std::move(opened);
  return Status::OK();
}

SqliteStorage::SqliteStorage(StorageOptions options) : Storage(std::move(options)) {}

SqliteStorage::~SqliteStorage() = default;

Status SqliteStorage::Acquire(std::unique_ptr<Connection>* connection) {
  {
    std::lock_guard<std::mutex> lock(pool_mutex_);
    if (!idle_.empty()) {
      *connection = std::move(idle_.back());
      idle_.pop_back();
      return Status::OK();
    }
  }
  return Connection::Open(options().path, false, connection);
}

void SqliteStorage::Release(std::unique_ptr<Connection> connection) {
  std::lock_guard<std::mutex> lock(pool_mutex_);
  idle_.push_back(std::move(connection));
}

Status SqliteStorage::AddUser(const std::string& key_name, const std::string& login,
                              const std::string& password, bool replace) {
  // Hashing is slow: done before the database is touched.
  std::string hash;
  Status hashed = HashPassword(password, &hash);
  if (!hashed.ok()) return hashed;
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  static constexpr const char* kInsert =
      "INSERT INTO users (key_name, login, password_hash, created) VALUES (?1, ?2, ?3, ?4)";
  static constexpr const char* kUpsert =
      "INSERT INTO users (key_name, login, password_hash, created) VALUES (?1, ?2, ?3, ?4) "
      "ON CONFLICT (key_name, login) DO UPDATE SET password_hash = excluded.password_hash";
  Query insert = lease.Statement(replace ? kUpsert : kInsert);
  if (!insert.status().ok()) return insert.status();
  insert.Bind(1, key_name).Bind(2, login).Bind(3, hash).Bind(4, FormatUtcTime(Now()));
  const int rc = insert.Step();
  if (rc == SQLITE_DONE) return Status::OK();
  if (rc == SQLITE_CONSTRAINT) {
    return Status::Error(kErrorAlreadyExists, "the user \"" + login + "\" of key name \"" +
                                                  key_name + "\" exists already");
  }
  return insert.Error(rc);
}

Status SqliteStorage::CheckUser(const std::string& key_name, const std::string& login,
                                const std::string& password, bool* valid) {
  *valid = false;
  std::string hash;
  bool found = false, disabled = false;
  {
    Lease lease(this);
    if (!lease.status().ok()) return lease.status();
    Query select = lease.Statement(
        "SELECT password_hash, disabled FROM users WHERE key_name = ?1 AND login = ?2");
    if (!select.status().ok()) return select.status();
    select.Bind(1, key_name).Bind(2, login);
    const int rc = select.Step();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return select.Error(rc);
    found = rc == SQLITE_ROW;
    if (found) {
      hash = select.Text(0);
      disabled = select.Integer(1) != 0;
    }
  }
  // The connection goes back to the pool before the slow check, which a
  // disabled user goes through all the same.
  if (!found) {
    SpendPasswordCheck(password);
    return Status::OK();
  }
  *valid = VerifyPassword(password, hash) && !disabled;
  return Status::OK();
}

Status SqliteStorage::ListUsers(std::vector<UserRow>* users) {
  users->clear();
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  Query select = lease.Statement(
      "SELECT key_name, login, created, disabled FROM users ORDER BY key_name, login");
  if (!select.status().ok()) return select.status();
  for (;;) {
    const int rc = select.Step();
    if (rc == SQLITE_DONE) return Status::OK();
    if (rc != SQLITE_ROW) return select.Error(rc);
    users->push_back({select.Text(0), select.Text(1), select.Text(2), select.Integer(3) != 0});
  }
}

Status SqliteStorage::SetUserDisabled(const std::string& key_name, const std::string& login,
                                      bool disabled, bool* found) {
  *found = false;
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  Query update =
      lease.Statement("UPDATE users SET disabled = ?3 WHERE key_name = ?1 AND login = ?2");
  if (!update.status().ok()) return update.status();
  Status status = update.Bind(1, key_name).Bind(2, login).Bind(3, int64_t{disabled}).Run();
  *found = status.ok() && sqlite3_changes(lease.db()) > 0;
  return status;
}

Status SqliteStorage::SetUserPassword(const std::string& key_name, const std::string& login,
                                      const std::string& password, bool* found) {
  *found = false;
  std::string hash;
  Status status = HashPassword(password, &hash);
  if (!status.ok()) return status;
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  Query update =
      lease.Statement("UPDATE users SET password_hash = ?3 WHERE key_name = ?1 AND login = ?2");
  if (!update.status().ok()) return update.status();
  status = update.Bind(1, key_name).Bind(2, login).Bind(3, hash).Run();
  *found = status.ok() && sqlite3_changes(lease.db()) > 0;
  return status;
}

Status SqliteStorage::AddAdmin(const std::string& name, const std::string& password, bool replace) {
  std::string hash;
  Status status = HashPassword(password, &hash);
  if (!status.ok()) return status;
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  Transaction transaction(lease.db());
  status = transaction.Begin();
  if (!status.ok()) return status;
  static constexpr const char* kInsert =
      "INSERT INTO admins (name, password_hash, created) VALUES (?1, ?2, ?3)";
  static constexpr const char* kUpsert =
      "INSERT INTO admins (name, password_hash, created) VALUES (?1, ?2, ?3) "
      "ON CONFLICT (name) DO UPDATE SET password_hash = excluded.password_hash";
  {
    Query insert = lease.Statement(replace ? kUpsert : kInsert);
    if (!insert.status().ok()) return insert.status();
    const int rc = insert.Bind(1, name).Bind(2, hash).Bind(3, FormatUtcTime(Now())).Step();
    if (rc == SQLITE_CONSTRAINT) {
      return Status::Error(kErrorAlreadyExists, "the admin \"" + name + "\" exists already");
    }
    if (rc != SQLITE_DONE) return insert.Error(rc);
  }
  {
    Query end = lease.Statement("DELETE FROM console_sessions WHERE admin = ?1");
    status = end.status().ok() ? end.Bind(1, name).Run() : end.status();
  }
  return status.ok() ? transaction.Commit() : status;
}

Status SqliteStorage::RemoveAdmin(const std::string& name, bool* found) {
  *found = false;
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  Transaction transaction(lease.db());
  Status status = transaction.Begin();
  if (!status.ok()) return status;
  {
    Query end = lease.Statement("DELETE FROM console_sessions WHERE admin = ?1");
    status = end.status().ok() ? end.Bind(1, name).Run() : end.status();
  }
  if (!status.ok()) return status;
  Query remove = lease.Statement("DELETE FROM admins WHERE name = ?1");
  status = remove.status().ok() ? remove.Bind(1, name).Run() : remove.status();
  if (!status.ok()) return status;
  *found = sqlite3_changes(lease.db()) > 0;
  return transaction.Commit();
}

Status SqliteStorage::CheckAdmin(const std::string& name, const std::string& password,
                                 bool* valid) {
  *valid = false;
  std::string hash;
  bool found = false;
  {
    Lease lease(this);
    if (!lease.status().ok()) return lease.status();
    Query select = lease.Statement("SELECT password_hash FROM admins WHERE name = ?1");
    if (!select.status().ok()) return select.status();
    const int rc = select.Bind(1, name).Step();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return select.Error(rc);
    found = rc == SQLITE_ROW;
    if (found) hash = select.Text(0);
  }
  if (!found) {
    SpendPasswordCheck(password);
    return Status::OK();
  }
  *valid = VerifyPassword(password, hash);
  return Status::OK();
}

Status SqliteStorage::AddConsoleSession(const std::string& id_hash, const std::string& admin,
                                        const std::string& csrf_token, int64_t expires) {
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  const int64_t now = Now();
  Transaction transaction(lease.db());
  Status status = transaction.Begin();
  if (!status.ok()) return status;
  {
    Query purge = lease.Statement("DELETE FROM console_sessions WHERE expires <= ?1");
    status = purge.status().ok() ? purge.Bind(1, now).Run() : purge.status();
    if (!status.ok()) return status;
  }
  {
    Query insert = lease.Statement(
        "INSERT INTO console_sessions (id_hash, admin, csrf_token, created, expires) "
        "VALUES (?1, ?2, ?3, ?4, ?5)");
    if (!insert.status().ok()) return insert.status();
    insert.Bind(1, id_hash).Bind(2, admin).Bind(3, csrf_token).Bind(4, now).Bind(5, expires);
    status = insert.Run();
    if (!status.ok()) return status;
  }
  return transaction.Commit();
}

Status SqliteStorage::FindConsoleSession(const std::string& id_hash, bool* found,
                                         ConsoleSession* session) {
  *found = false;
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  Query select = lease.Statement(
      "SELECT admin, csrf_token, expires FROM console_sessions "
      "WHERE id_hash = ?1 AND expires > ?2");
  if (!select.status().ok()) return select.status();
  const int rc = select.Bind(1, id_hash).Bind(2, Now()).Step();
  if (rc == SQLITE_ROW) {
    *found = true;
    *session = {select.Text(0), select.Text(1), select.Integer(2)};
  }
  return rc == SQLITE_ROW || rc == SQLITE_DONE ? Status::OK() : select.Error(rc);
}

Status SqliteStorage::RemoveConsoleSession(const std::string& id_hash) {
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  Query remove = lease.Statement("DELETE FROM console_sessions WHERE id_hash = ?1");
  return remove.status().ok() ? remove.Bind(1, id_hash).Run() : remove.status();
}

Status SqliteStorage::IssueLoginId(const std::string& key_name, const std::string& login,
                                   const std::string& remote_address, const CallerInfo& caller,
                                   std::string* login_id) {
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  const int64_t now = Now();
  Transaction transaction(lease.db());
  Status status = transaction.Begin();
  if (!status.ok()) return status;
  {
    Query purge = lease.Statement("DELETE FROM logins WHERE expires_at <= ?1");
    status = purge.status().ok() ? purge.Bind(1, now).Run() : purge.status();
    if (!status.ok()) return status;
  }
  const std::string id = NewLoginId();
  {
    Query insert = lease.Statement(
        "INSERT INTO logins (login_id, key_name, login, remote_address, issued_at, expires_at) "
        "VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
    if (!insert.status().ok()) return insert.status();
    insert.Bind(1, id).Bind(2, key_name).Bind(3, login).Bind(4, remote_address).Bind(5, now);
    insert.Bind(6, now + options().login_ttl_seconds);
    status = insert.Run();
    if (!status.ok()) return status;
  }
  {
    Query seen = lease.Statement(
        "INSERT INTO clients (key_name, login, first_seen, last_seen, last_address, last_agent) "
        "VALUES (?1, ?2, ?3, ?3, ?4, ?5) ON CONFLICT (key_name, login) DO UPDATE SET "
        "last_seen = excluded.last_seen, last_address = excluded.last_address, "
        "last_agent = excluded.last_agent");
    if (!seen.status().ok()) return seen.status();
    seen.Bind(1, key_name).Bind(2, login).Bind(3, now).Bind(4, caller.address);
    status = seen.Bind(5, caller.agent).Run();
    if (!status.ok()) return status;
  }
  {
    Query count = lease.Statement(
        "INSERT INTO login_days (day, key_name, logins) VALUES (?1, ?2, 1) "
        "ON CONFLICT (day, key_name) DO UPDATE SET logins = login_days.logins + 1");
    if (!count.status().ok()) return count.status();
    status = count.Bind(1, FormatUtcTime(now).substr(0, 10)).Bind(2, key_name).Run();
    if (!status.ok()) return status;
  }
  status = transaction.Commit();
  if (status.ok()) *login_id = id;
  return status;
}

Status SqliteStorage::FindLogin(const std::string& login_id, bool* found, std::string* key_name,
                                int64_t* list_generation) {
  *found = false;
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  Query select = lease.Statement(
      "SELECT l.key_name, coalesce(d.generation, 0) FROM logins AS l "
      "LEFT JOIN install_lists AS d ON d.key_name = l.key_name "
      "WHERE l.login_id = ?1 AND l.expires_at > ?2");
  if (!select.status().ok()) return select.status();
  select.Bind(1, login_id).Bind(2, Now());
  const int rc = select.Step();
  if (rc == SQLITE_ROW) {
    *found = true;
    *key_name = select.Text(0);
    *list_generation = select.Integer(1);
  }
  return rc == SQLITE_ROW || rc == SQLITE_DONE ? Status::OK() : select.Error(rc);
}

Status SqliteStorage::PutInstallList(const std::string& key_name, const std::string& document,
                                     int64_t expected_generation, bool* stored) {
  *stored = false;
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  Transaction transaction(lease.db());
  Status status = transaction.Begin();
  if (!status.ok()) return status;
  if (expected_generation != kAnyGeneration) {
    // The write lock is held from Begin, so no other store comes between.
    Query current = lease.Statement("SELECT generation FROM install_lists WHERE key_name = ?1");
    if (!current.status().ok()) return current.status();
    const int rc = current.Bind(1, key_name).Step();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return current.Error(rc);
    if ((rc == SQLITE_ROW ? current.Integer(0) : 0) != expected_generation) return Status::OK();
  }
  {
    // The new generation is computed over every list, the replaced one
    // included, so it is above any this key name had.
    Query upsert = lease.Statement(
        "INSERT INTO install_lists (key_name, document, updated, generation) "
        "VALUES (?1, ?2, ?3, (SELECT coalesce(max(generation), 0) + 1 FROM install_lists)) "
        "ON CONFLICT (key_name) DO UPDATE SET document = excluded.document, "
        "updated = excluded.updated, generation = excluded.generation");
    if (!upsert.status().ok()) return upsert.status();
    status = upsert.Bind(1, key_name).Bind(2, document).Bind(3, FormatUtcTime(Now())).Run();
  }
  if (!status.ok()) return status;
  {
    Query keep = lease.Statement(
        "INSERT INTO install_list_history (generation, key_name, document, imported) "
        "SELECT generation, key_name, document, updated FROM install_lists WHERE key_name = ?1");
    status = keep.status().ok() ? keep.Bind(1, key_name).Run() : keep.status();
    if (!status.ok()) return status;
  }
  {
    Query prune = lease.Statement(
        "DELETE FROM install_list_history WHERE key_name = ?1 AND generation <= "
        "(SELECT generation FROM install_list_history WHERE key_name = ?1 "
        "ORDER BY generation DESC LIMIT 1 OFFSET ?2)");
    if (!prune.status().ok()) return prune.status();
    status = prune.Bind(1, key_name).Bind(2, kInstallListHistoryDepth).Run();
  }
  if (status.ok()) status = transaction.Commit();
  *stored = status.ok();
  return status;
}

Status SqliteStorage::GetInstallListHistory(const std::string& key_name, int64_t generation,
                                            bool* found, std::string* document) {
  *found = false;
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  Query select = lease.Statement(
      "SELECT document FROM install_list_history WHERE key_name = ?1 AND generation = ?2");
  if (!select.status().ok()) return select.status();
  const int rc = select.Bind(1, key_name).Bind(2, generation).Step();
  if (rc == SQLITE_ROW) {
    *found = true;
    *document = select.Text(0);
  }
  return rc == SQLITE_ROW || rc == SQLITE_DONE ? Status::OK() : select.Error(rc);
}

Status SqliteStorage::GetInstallList(const std::string& key_name, bool* found,
                                     std::string* document, int64_t* generation) {
  *found = false;
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  Query select =
      lease.Statement("SELECT document, generation FROM install_lists WHERE key_name = ?1");
  if (!select.status().ok()) return select.status();
  const int rc = select.Bind(1, key_name).Step();
  if (rc == SQLITE_ROW) {
    *found = true;
    *document = select.Text(0);
    *generation = select.Integer(1);
  }
  return rc == SQLITE_ROW || rc == SQLITE_DONE ? Status::OK() : select.Error(rc);
}

Status SqliteStorage::ListInstallLists(std::vector<InstallListRow>* lists) {
  lists->clear();
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  Query select = lease.Statement(
      "SELECT key_name, generation, updated, "
      "coalesce(json_array_length(document, '$.records'), 0) "
      "FROM install_lists ORDER BY key_name");
  if (!select.status().ok()) return select.status();
  for (;;) {
    const int rc = select.Step();
    if (rc == SQLITE_DONE) return Status::OK();
    if (rc != SQLITE_ROW) return select.Error(rc);
    lists->push_back({select.Text(0), select.Integer(1), select.Text(2), select.Integer(3)});
  }
}

Status SqliteStorage::AddLoginNote(const std::string& login_id, const std::string& text) {
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  const int64_t now = Now();
  Transaction transaction(lease.db());
  Status status = transaction.Begin();
  if (!status.ok()) return status;
  ClientRow client;
  bool known = false;
  {
    Query select = lease.Statement(
        "SELECT l.key_name, l.login, coalesce(d.generation, 0) FROM logins AS l "
        "LEFT JOIN install_lists AS d ON d.key_name = l.key_name WHERE l.login_id = ?1");
    if (!select.status().ok()) return select.status();
    const int rc = select.Bind(1, login_id).Step();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return select.Error(rc);
    known = rc == SQLITE_ROW;
    if (known) {
      client.key_name = select.Text(0);
      client.login = select.Text(1);
      client.last_generation = select.Integer(2);
    }
  }
  {
    Query insert = lease.Statement(
        "INSERT INTO login_notes (login_id, time, text, key_name, login) "
        "VALUES (?1, ?2, ?3, ?4, ?5)");
    if (!insert.status().ok()) return insert.status();
    insert.Bind(1, login_id).Bind(2, FormatUtcTime(now)).Bind(3, text);
    status = insert.Bind(4, client.key_name).Bind(5, client.login).Run();
    if (!status.ok()) return status;
  }
  if (known) {
    Query report = lease.Statement(
        "INSERT INTO clients (key_name, login, first_seen, last_seen, last_report, "
        "last_report_time, last_generation) VALUES (?1, ?2, ?3, ?3, ?4, ?3, ?5) "
        "ON CONFLICT (key_name, login) DO UPDATE SET last_seen = excluded.last_seen, "
        "last_report = excluded.last_report, last_report_time = excluded.last_report_time, "
        "last_generation = excluded.last_generation");
    if (!report.status().ok()) return report.status();
    report.Bind(1, client.key_name).Bind(2, client.login).Bind(3, now).Bind(4, text);
    status = report.Bind(5, client.last_generation).Run();
    if (!status.ok()) return status;
  }
  return transaction.Commit();
}

Status SqliteStorage::ListLoginNotes(int64_t offset, int64_t limit, std::vector<LoginNote>* notes) {
  notes->clear();
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  Query select = lease.Statement(
      "SELECT login_id, time, text, key_name, login FROM login_notes ORDER BY id DESC "
      "LIMIT ?2 OFFSET ?1");
  if (!select.status().ok()) return select.status();
  select.Bind(1, offset).Bind(2, limit);
  for (;;) {
    const int rc = select.Step();
    if (rc == SQLITE_DONE) return Status::OK();
    if (rc != SQLITE_ROW) return select.Error(rc);
    notes->push_back(
        {select.Text(0), select.Text(1), select.Text(2), select.Text(3), select.Text(4)});
  }
}

Status SqliteStorage::ListClients(const std::string& key_name, std::vector<ClientRow>* clients) {
  clients->clear();
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  Query select = lease.Statement(
      "SELECT key_name, login, first_seen, last_seen, last_address, last_agent, last_report, "
      "last_report_time, last_generation FROM clients WHERE ?1 = '' OR key_name = ?1 "
      "ORDER BY key_name, login");
  if (!select.status().ok()) return select.status();
  select.Bind(1, key_name);
  for (;;) {
    const int rc = select.Step();
    if (rc == SQLITE_DONE) return Status::OK();
    if (rc != SQLITE_ROW) return select.Error(rc);
    clients->push_back({select.Text(0), select.Text(1), select.Integer(2), select.Integer(3),
                        select.Text(4), select.Text(5), select.Text(6), select.Integer(7),
                        select.Integer(8)});
  }
}

Status SqliteStorage::ListLoginDays(const std::string& first_day, const std::string& key_name,
                                    std::vector<LoginDay>* days) {
  days->clear();
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  Query select = lease.Statement(
      "SELECT day, key_name, logins FROM login_days WHERE day >= ?1 AND (?2 = '' OR key_name = "
      "?2) ORDER BY day, key_name");
  if (!select.status().ok()) return select.status();
  select.Bind(1, first_day).Bind(2, key_name);
  for (;;) {
    const int rc = select.Step();
    if (rc == SQLITE_DONE) return Status::OK();
    if (rc != SQLITE_ROW) return select.Error(rc);
    days->push_back({select.Text(0), select.Text(1), select.Integer(2)});
  }
}

namespace {

// The entry of one throttle row, or zeros when there is none.
Status ReadThrottleEntry(Query& select, ThrottleEntry* entry) {
  *entry = {};
  if (!select.status().ok()) return select.status();
  const int rc = select.Step();
  if (rc == SQLITE_ROW) {
    *entry = {select.Integer(0), select.Integer(1), select.Integer(2), select.Integer(3)};
  }
  return rc == SQLITE_ROW || rc == SQLITE_DONE ? Status::OK() : select.Error(rc);
}

// Binds entry's fields to ?first.. of statement and runs it.
Status WriteThrottleEntry(Query& upsert, int first, const ThrottleEntry& entry) {
  if (!upsert.status().ok()) return upsert.status();
  upsert.Bind(first, entry.failures).Bind(first + 1, entry.last_failure);
  upsert.Bind(first + 2, entry.held_until).Bind(first + 3, entry.expires);
  return upsert.Run();
}

}  // namespace

Status SqliteStorage::ChangeThrottle(const std::string& key_name, const std::string& login,
                                     const std::string& address, int64_t now_ms,
                                     const ThrottleChange& change) {
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  Transaction transaction(lease.db());
  Status status = transaction.Begin();
  for (const char* purge : {"DELETE FROM throttle_accounts WHERE expires <= ?1",
                            "DELETE FROM throttle_addresses WHERE expires <= ?1"}) {
    if (!status.ok()) return status;
    Query query = lease.Statement(purge);
    status = query.status().ok() ? query.Bind(1, now_ms).Run() : query.status();
  }
  ThrottleEntry account, from;
  {
    Query select = lease.Statement(
        "SELECT failures, last_failure, held_until, expires FROM throttle_accounts "
        "WHERE key_name = ?1 AND login = ?2");
    if (status.ok() && select.status().ok()) select.Bind(1, key_name).Bind(2, login);
    if (status.ok()) status = ReadThrottleEntry(select, &account);
  }
  {
    Query select = lease.Statement(
        "SELECT failures, last_failure, held_until, expires FROM throttle_addresses "
        "WHERE address = ?1");
    if (status.ok() && select.status().ok()) select.Bind(1, address);
    if (status.ok()) status = ReadThrottleEntry(select, &from);
  }
  if (!status.ok()) return status;
  // Committed also when change stores nothing: the purge above stays done.
  if (!change(&account, &from)) return transaction.Commit();
  {
    Query upsert = lease.Statement(
        "INSERT OR REPLACE INTO throttle_accounts "
        "(key_name, login, failures, last_failure, held_until, expires) "
        "VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
    if (upsert.status().ok()) upsert.Bind(1, key_name).Bind(2, login);
    status = WriteThrottleEntry(upsert, 3, account);
  }
  if (status.ok()) {
    Query upsert = lease.Statement(
        "INSERT OR REPLACE INTO throttle_addresses "
        "(address, failures, last_failure, held_until, expires) VALUES (?1, ?2, ?3, ?4, ?5)");
    if (upsert.status().ok()) upsert.Bind(1, address);
    status = WriteThrottleEntry(upsert, 2, from);
  }
  return status.ok() ? transaction.Commit() : status;
}

}  // namespace qv::server
