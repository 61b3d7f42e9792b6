// Storage on SQLite: a pool of connections, one prepared-statement cache per
// connection, one transaction per change.
#include "server/storage.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <utility>

#include "server/credentials.h"

namespace qv::server {

namespace {

// "QVSV": marks the file as this server's database.
constexpr int64_t kApplicationId = 0x51565356;
constexpr int64_t kSchemaVersion = 1;
constexpr int kBusyTimeoutMs = 10000;

constexpr const char* kSchema = R"sql(
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
)sql";

std::string SqliteText(sqlite3* db) { return db != nullptr ? sqlite3_errmsg(db) : "out of memory"; }

}  // namespace

// One SQLite connection and its prepared statements. Used by one thread at a
// time (the pool hands it out), so it needs no lock of its own.
class Storage::Connection {
 public:
  static std::unique_ptr<Connection> Open(const std::string& path, bool create,
                                          std::string* error) {
    sqlite3* db = nullptr;
    const int flags =
        SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
    const int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    std::unique_ptr<Connection> connection(new Connection(db));
    if (rc != SQLITE_OK) {
      *error = "cannot open the database " + path + ": " + SqliteText(db);
      return nullptr;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    // In WAL mode NORMAL loses no committed change on a crash of the
    // program, only possibly the last ones on a power cut.
    if (!connection->Exec("PRAGMA synchronous = NORMAL", error)) return nullptr;
    return connection;
  }

  ~Connection() {
    for (auto& [sql, statement] : statements_) sqlite3_finalize(statement);
    sqlite3_close_v2(db_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  sqlite3* db() const { return db_; }

  bool Exec(const char* sql, std::string* error) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
      *error = std::string("database error: ") + (message != nullptr ? message : SqliteText(db_));
      sqlite3_free(message);
      return false;
    }
    return true;
  }

  // The first column of the first row of sql (a PRAGMA that reads a number).
  bool ReadInteger(const char* sql, int64_t* value, std::string* error) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr) != SQLITE_OK) {
      *error = "database error: " + SqliteText(db_);
      return false;
    }
    const int rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW) *value = sqlite3_column_int64(statement, 0);
    if (rc != SQLITE_ROW) *error = "database error: " + SqliteText(db_);
    sqlite3_finalize(statement);
    return rc == SQLITE_ROW;
  }

  // The prepared statement of sql, made on first use. sql must be a string
  // that lives as long as the program (the cache is keyed by its address).
  sqlite3_stmt* Prepare(const char* sql, std::string* error) {
    auto found = statements_.find(sql);
    if (found != statements_.end()) return found->second;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) !=
        SQLITE_OK) {
      *error = "database error: " + SqliteText(db_);
      return nullptr;
    }
    statements_.emplace(sql, statement);
    return statement;
  }

 private:
  explicit Connection(sqlite3* db) : db_(db) {}

  sqlite3* db_;
  std::map<const char*, sqlite3_stmt*> statements_;
};

namespace {

// A cached statement in use: bound, stepped, and reset when it goes out of
// scope so that the connection can run it again.
class Query {
 public:
  Query(sqlite3* db, sqlite3_stmt* statement) : db_(db), statement_(statement) {}
  ~Query() {
    if (statement_ != nullptr) {
      sqlite3_reset(statement_);
      sqlite3_clear_bindings(statement_);
    }
  }
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  bool ok() const { return statement_ != nullptr; }
  Query& Bind(int index, const std::string& text) {
    sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
    return *this;
  }
  Query& Bind(int index, int64_t value) {
    sqlite3_bind_int64(statement_, index, value);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE, or an error code (then *error is set).
  int Step(std::string* error) {
    const int rc = sqlite3_step(statement_);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) *error = "database error: " + SqliteText(db_);
    return rc;
  }
  bool Run(std::string* error) { return Step(error) == SQLITE_DONE; }
  std::string Text(int column) const {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
    return text != nullptr ? std::string(text, sqlite3_column_bytes(statement_, column)) : "";
  }
  int64_t Integer(int column) const { return sqlite3_column_int64(statement_, column); }

 private:
  sqlite3* db_;
  sqlite3_stmt* statement_;
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

  bool Begin(std::string* error) {
    if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
      *error = "database error: " + SqliteText(db_);
      return false;
    }
    open_ = true;
    return true;
  }
  bool Commit(std::string* error) {
    if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
      *error = "database error: " + SqliteText(db_);
      return false;
    }
    open_ = false;
    return true;
  }

 private:
  sqlite3* db_;
  bool open_ = false;
};

}  // namespace

// A connection borrowed from the pool for the length of one call.
class Storage::Lease {
 public:
  Lease(Storage* storage, std::string* error) : storage_(storage) {
    connection_ = storage_->Acquire(error);
  }
  ~Lease() {
    if (connection_ != nullptr) storage_->Release(std::move(connection_));
  }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;

  bool ok() const { return connection_ != nullptr; }
  sqlite3* db() const { return connection_->db(); }
  Query Statement(const char* sql, std::string* error) {
    return Query(connection_->db(), connection_->Prepare(sql, error));
  }

 private:
  Storage* storage_;
  std::unique_ptr<Connection> connection_;
};

std::string FormatUtcTime(int64_t unix_seconds) {
  const std::time_t time = static_cast<std::time_t>(unix_seconds);
  std::tm parts{};
  gmtime_r(&time, &parts);
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

std::unique_ptr<Storage> Storage::Open(const StorageOptions& options, Mode mode,
                                       std::string* error) {
  struct stat st;
  const bool exists = ::stat(options.path.c_str(), &st) == 0;
  if (mode == Mode::kCreate && exists && st.st_size > 0) {
    *error = options.path + " exists already";
    return nullptr;
  }
  if (mode == Mode::kOpenExisting && !exists) {
    *error = "no database at " + options.path + " (make one with \"qvserver init\")";
    return nullptr;
  }
  if (options.login_ttl_seconds <= 0) {
    *error = "the login ID lifetime must be at least one second";
    return nullptr;
  }

  std::unique_ptr<Connection> first = Connection::Open(options.path, mode == Mode::kCreate, error);
  if (first == nullptr) return nullptr;
  if (mode == Mode::kCreate) {
    std::string schema = std::string("PRAGMA journal_mode = WAL; BEGIN IMMEDIATE;") + kSchema +
                         "PRAGMA application_id = " + std::to_string(kApplicationId) +
                         "; PRAGMA user_version = " + std::to_string(kSchemaVersion) + "; COMMIT;";
    if (!first->Exec(schema.c_str(), error)) {
      *error = "cannot make the database " + options.path + ": " + *error;
      return nullptr;
    }
  } else {
    int64_t application_id = 0, version = 0;
    if (!first->ReadInteger("PRAGMA application_id", &application_id, error) ||
        !first->ReadInteger("PRAGMA user_version", &version, error)) {
      *error = options.path + " is not a qvserver database (" + *error + ")";
      return nullptr;
    }
    if (application_id != kApplicationId) {
      *error = options.path + " is not a qvserver database";
      return nullptr;
    }
    if (version > kSchemaVersion) {
      *error = options.path + " was made by a newer qvserver (schema " + std::to_string(version) +
               ", this one reads " + std::to_string(kSchemaVersion) + ")";
      return nullptr;
    }
  }

  std::unique_ptr<Storage> storage(new Storage(options));
  storage->idle_.push_back(std::move(first));
  return storage;
}

Storage::Storage(StorageOptions options) : options_(std::move(options)) {}

Storage::~Storage() = default;

std::unique_ptr<Storage::Connection> Storage::Acquire(std::string* error) {
  {
    std::lock_guard<std::mutex> lock(pool_mutex_);
    if (!idle_.empty()) {
      std::unique_ptr<Connection> connection = std::move(idle_.back());
      idle_.pop_back();
      return connection;
    }
  }
  return Connection::Open(options_.path, false, error);
}

void Storage::Release(std::unique_ptr<Connection> connection) {
  std::lock_guard<std::mutex> lock(pool_mutex_);
  idle_.push_back(std::move(connection));
}

int64_t Storage::Now() const {
  return options_.clock ? options_.clock() : static_cast<int64_t>(std::time(nullptr));
}

bool Storage::AddUser(const std::string& key_name, const std::string& login,
                      const std::string& password, bool replace, std::string* error) {
  // Hashing is slow: done before the database is touched.
  std::string hash;
  if (!HashPassword(password, &hash, error)) return false;
  Lease lease(this, error);
  if (!lease.ok()) return false;
  static constexpr const char* kInsert =
      "INSERT INTO users (key_name, login, password_hash, created) VALUES (?1, ?2, ?3, ?4)";
  static constexpr const char* kUpsert =
      "INSERT INTO users (key_name, login, password_hash, created) VALUES (?1, ?2, ?3, ?4) "
      "ON CONFLICT (key_name, login) DO UPDATE SET password_hash = excluded.password_hash";
  Query insert = lease.Statement(replace ? kUpsert : kInsert, error);
  if (!insert.ok()) return false;
  insert.Bind(1, key_name).Bind(2, login).Bind(3, hash).Bind(4, FormatUtcTime(Now()));
  const int rc = insert.Step(error);
  if (rc == SQLITE_CONSTRAINT) {
    *error = "the user \"" + login + "\" of key name \"" + key_name + "\" exists already";
  }
  return rc == SQLITE_DONE;
}

bool Storage::CheckUser(const std::string& key_name, const std::string& login,
                        const std::string& password, bool* valid, std::string* error) {
  *valid = false;
  std::string hash;
  bool found = false;
  {
    Lease lease(this, error);
    if (!lease.ok()) return false;
    Query select = lease.Statement(
        "SELECT password_hash FROM users WHERE key_name = ?1 AND login = ?2", error);
    if (!select.ok()) return false;
    select.Bind(1, key_name).Bind(2, login);
    const int rc = select.Step(error);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return false;
    found = rc == SQLITE_ROW;
    if (found) hash = select.Text(0);
  }
  // The connection goes back to the pool before the slow check.
  if (!found) {
    SpendPasswordCheck(password);
    return true;
  }
  *valid = VerifyPassword(password, hash);
  return true;
}

bool Storage::IssueLoginId(const std::string& key_name, const std::string& login,
                           const std::string& remote_address, std::string* login_id,
                           std::string* error) {
  Lease lease(this, error);
  if (!lease.ok()) return false;
  const int64_t now = Now();
  Transaction transaction(lease.db());
  if (!transaction.Begin(error)) return false;
  {
    Query purge = lease.Statement("DELETE FROM logins WHERE expires_at <= ?1", error);
    if (!purge.ok() || !purge.Bind(1, now).Run(error)) return false;
  }
  const std::string id = NewLoginId();
  {
    Query insert = lease.Statement(
        "INSERT INTO logins (login_id, key_name, login, remote_address, issued_at, expires_at) "
        "VALUES (?1, ?2, ?3, ?4, ?5, ?6)",
        error);
    if (!insert.ok()) return false;
    insert.Bind(1, id).Bind(2, key_name).Bind(3, login).Bind(4, remote_address).Bind(5, now);
    insert.Bind(6, now + options_.login_ttl_seconds);
    if (!insert.Run(error)) return false;
  }
  if (!transaction.Commit(error)) return false;
  *login_id = id;
  return true;
}

bool Storage::FindLogin(const std::string& login_id, bool* found, std::string* key_name,
                        int64_t* list_generation, std::string* error) {
  *found = false;
  Lease lease(this, error);
  if (!lease.ok()) return false;
  Query select = lease.Statement(
      "SELECT l.key_name, coalesce(d.generation, 0) FROM logins AS l "
      "LEFT JOIN install_lists AS d ON d.key_name = l.key_name "
      "WHERE l.login_id = ?1 AND l.expires_at > ?2",
      error);
  if (!select.ok()) return false;
  select.Bind(1, login_id).Bind(2, Now());
  const int rc = select.Step(error);
  if (rc == SQLITE_ROW) {
    *found = true;
    *key_name = select.Text(0);
    *list_generation = select.Integer(1);
  }
  return rc == SQLITE_ROW || rc == SQLITE_DONE;
}

bool Storage::PutInstallList(const std::string& key_name, const std::string& document,
                             std::string* error) {
  Lease lease(this, error);
  if (!lease.ok()) return false;
  // The new generation is computed over every list, the replaced one
  // included, so it is above any this key name had.
  Query upsert = lease.Statement(
      "INSERT INTO install_lists (key_name, document, updated, generation) "
      "VALUES (?1, ?2, ?3, (SELECT coalesce(max(generation), 0) + 1 FROM install_lists)) "
      "ON CONFLICT (key_name) DO UPDATE SET document = excluded.document, "
      "updated = excluded.updated, generation = excluded.generation",
      error);
  if (!upsert.ok()) return false;
  return upsert.Bind(1, key_name).Bind(2, document).Bind(3, FormatUtcTime(Now())).Run(error);
}

bool Storage::GetInstallList(const std::string& key_name, bool* found, std::string* document,
                             int64_t* generation, std::string* error) {
  *found = false;
  Lease lease(this, error);
  if (!lease.ok()) return false;
  Query select =
      lease.Statement("SELECT document, generation FROM install_lists WHERE key_name = ?1", error);
  if (!select.ok()) return false;
  const int rc = select.Bind(1, key_name).Step(error);
  if (rc == SQLITE_ROW) {
    *found = true;
    *document = select.Text(0);
    *generation = select.Integer(1);
  }
  return rc == SQLITE_ROW || rc == SQLITE_DONE;
}

bool Storage::AddLoginNote(const std::string& login_id, const std::string& text,
                           std::string* error) {
  Lease lease(this, error);
  if (!lease.ok()) return false;
  Query insert =
      lease.Statement("INSERT INTO login_notes (login_id, time, text) VALUES (?1, ?2, ?3)", error);
  if (!insert.ok()) return false;
  return insert.Bind(1, login_id).Bind(2, FormatUtcTime(Now())).Bind(3, text).Run(error);
}

bool Storage::ListLoginNotes(std::vector<LoginNote>* notes, std::string* error) {
  notes->clear();
  Lease lease(this, error);
  if (!lease.ok()) return false;
  Query select =
      lease.Statement("SELECT login_id, time, text FROM login_notes ORDER BY id DESC", error);
  if (!select.ok()) return false;
  for (;;) {
    const int rc = select.Step(error);
    if (rc == SQLITE_DONE) return true;
    if (rc != SQLITE_ROW) return false;
    notes->push_back({select.Text(0), select.Text(1), select.Text(2)});
  }
}

}  // namespace qv::server
