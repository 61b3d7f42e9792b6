// Storage on PostgreSQL through libpq: a bounded pool of connections, one
// set of prepared statements per connection, one transaction per change,
// and the schema's migration steps.
#include "server/postgres_storage.h"

#include <libpq-fe.h>

#include <cstring>
#include <iterator>
#include <map>
#include <utility>

#include "server/credentials.h"

namespace qv::server {

namespace {

// The schema's migration steps: step i brings a database of version i to
// version i + 1. Version 1 is the first schema; never change a step that was
// released, add one. The same tables as the SQLite store's, in
// PostgreSQL's types; the list generations come from a sequence, so that
// two instances storing lists at once never hand out the same one.
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
CREATE SEQUENCE list_generations;
CREATE TABLE install_lists (
  key_name TEXT PRIMARY KEY,
  document TEXT NOT NULL,
  updated TEXT NOT NULL,
  generation BIGINT NOT NULL
);
CREATE TABLE logins (
  login_id TEXT PRIMARY KEY,
  key_name TEXT NOT NULL,
  login TEXT NOT NULL,
  remote_address TEXT NOT NULL,
  issued_at BIGINT NOT NULL,
  expires_at BIGINT NOT NULL
);
CREATE INDEX logins_by_expiry ON logins (expires_at);
CREATE TABLE login_notes (
  id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  login_id TEXT NOT NULL,
  time TEXT NOT NULL,
  text BYTEA NOT NULL
);
)sql",
    // 2: the login throttle's failure counts, shared by every instance.
    R"sql(
CREATE TABLE throttle_accounts (
  key_name TEXT NOT NULL,
  login TEXT NOT NULL,
  failures BIGINT NOT NULL,
  last_failure BIGINT NOT NULL,
  held_until BIGINT NOT NULL,
  expires BIGINT NOT NULL,
  PRIMARY KEY (key_name, login)
);
CREATE INDEX throttle_accounts_by_expiry ON throttle_accounts (expires);
CREATE TABLE throttle_addresses (
  address TEXT PRIMARY KEY,
  failures BIGINT NOT NULL,
  last_failure BIGINT NOT NULL,
  held_until BIGINT NOT NULL,
  expires BIGINT NOT NULL
);
CREATE INDEX throttle_addresses_by_expiry ON throttle_addresses (expires);
)sql",
    // 3: the console's accounts and sessions; users can be disabled.
    R"sql(
ALTER TABLE users ADD COLUMN disabled BOOLEAN NOT NULL DEFAULT false;
CREATE TABLE admins (
  name TEXT PRIMARY KEY,
  password_hash TEXT NOT NULL,
  created TEXT NOT NULL
);
CREATE TABLE console_sessions (
  id_hash TEXT PRIMARY KEY,
  admin TEXT NOT NULL,
  csrf_token TEXT NOT NULL,
  created BIGINT NOT NULL,
  expires BIGINT NOT NULL
);
CREATE INDEX console_sessions_by_expiry ON console_sessions (expires);
)sql",
    // 4: the clients and what they last said, logins per day, the lists
    // handed out, and the account of each note.
    R"sql(
CREATE TABLE clients (
  key_name TEXT NOT NULL,
  login TEXT NOT NULL,
  first_seen BIGINT NOT NULL,
  last_seen BIGINT NOT NULL,
  last_address TEXT NOT NULL DEFAULT '',
  last_agent TEXT NOT NULL DEFAULT '',
  last_report BYTEA NOT NULL DEFAULT '',
  last_report_time BIGINT NOT NULL DEFAULT 0,
  last_generation BIGINT NOT NULL DEFAULT 0,
  PRIMARY KEY (key_name, login)
);
CREATE TABLE login_days (
  day TEXT NOT NULL,
  key_name TEXT NOT NULL,
  logins BIGINT NOT NULL,
  PRIMARY KEY (day, key_name)
);
CREATE TABLE install_list_history (
  generation BIGINT NOT NULL,
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
// Taken by every migration step, so that two "init"s at once take turns.
constexpr const char* kMigrationLock = "SELECT pg_advisory_xact_lock(1364611926)";  // "QVSV"

// The Windows error code closest to a PostgreSQL SQLSTATE.
uint32_t WinErrorOfSqlState(const char* state) {
  if (state == nullptr) return kErrorBadNetPath;  // no answer: the connection
  if (std::strcmp(state, "23505") == 0) return kErrorAlreadyExists;
  if (std::strncmp(state, "08", 2) == 0) return kErrorBadNetPath;
  if (std::strncmp(state, "28", 2) == 0 || std::strcmp(state, "42501") == 0) {
    return kErrorAccessDenied;
  }
  if (std::strcmp(state, "53100") == 0) return kErrorDiskFull;
  if (std::strncmp(state, "53", 2) == 0) return kErrorNotEnoughMemory;
  if (std::strcmp(state, "40001") == 0 || std::strcmp(state, "40P01") == 0 ||
      std::strcmp(state, "55P03") == 0) {
    return kErrorSharingViolation;
  }
  return kErrorInvalidFunction;
}

std::string FirstLine(const char* text) {
  std::string line = text != nullptr ? text : "";
  const size_t end = line.find('\n');
  return end == std::string::npos ? line : line.substr(0, end);
}

std::string HexDecode(const char* text, size_t size) {
  auto digit = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  std::string bytes;
  bytes.reserve(size / 2);
  for (size_t i = 0; i + 1 < size; i += 2) {
    bytes.push_back(static_cast<char>(digit(text[i]) << 4 | digit(text[i + 1])));
  }
  return bytes;
}

// PostgreSQL's text holds no NUL byte, so no stored key has one: a key
// with one matches nothing.
bool HasNul(const std::string& text) { return text.find('\0') != std::string::npos; }

// text with each NUL byte written as "\0", to be stored as a key.
std::string StorableKey(const std::string& text) {
  std::string key;
  for (char c : text) {
    if (c == '\0') {
      key += "\\0";
    } else {
      key.push_back(c);
    }
  }
  return key;
}

// A result of a statement; PQclear'ed when it goes out of scope.
class Result {
 public:
  Result() = default;
  explicit Result(PGresult* result) : result_(result) {}
  ~Result() { PQclear(result_); }
  Result(Result&& other) noexcept : result_(std::exchange(other.result_, nullptr)) {}
  Result& operator=(Result&& other) noexcept {
    std::swap(result_, other.result_);
    return *this;
  }

  int rows() const { return result_ != nullptr ? PQntuples(result_) : 0; }
  std::string Text(int row, int column) const {
    return std::string(PQgetvalue(result_, row, column), PQgetlength(result_, row, column));
  }
  int64_t Integer(int row, int column) const {
    return std::strtoll(PQgetvalue(result_, row, column), nullptr, 10);
  }
  // A BYTEA column (hex output).
  std::string Bytes(int row, int column) const {
    const char* text = PQgetvalue(result_, row, column);
    const int size = PQgetlength(result_, row, column);
    return size >= 2 && text[0] == '\\' && text[1] == 'x' ? HexDecode(text + 2, size - 2) : "";
  }
  PGresult* get() const { return result_; }

 private:
  PGresult* result_ = nullptr;
};

// One statement parameter: text, or raw bytes for a BYTEA column.
struct Param {
  Param(std::string text) : value(std::move(text)) {}       // NOLINT: implicit on purpose
  Param(const char* text) : value(text) {}                  // NOLINT
  Param(int64_t number) : value(std::to_string(number)) {}  // NOLINT
  static Param Bytes(std::string bytes) {
    Param param(std::move(bytes));
    param.binary = true;
    return param;
  }
  std::string value;
  bool binary = false;
};

}  // namespace

std::string RedactedUrl(const std::string& url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos) return url;
  const size_t start = scheme + 3;
  const size_t at = url.find('@', start);
  const size_t slash = url.find('/', start);
  if (at == std::string::npos || (slash != std::string::npos && slash < at)) return url;
  const size_t colon = url.find(':', start);
  if (colon == std::string::npos || colon > at) return url;
  return url.substr(0, colon + 1) + "***" + url.substr(at);
}

// One libpq connection and the statements prepared on it. Used by one
// thread at a time (the pool hands it out).
class PostgresStorage::Connection {
 public:
  static Status Open(const std::string& url, std::unique_ptr<Connection>* connection) {
    std::unique_ptr<Connection> opened(new Connection(PQconnectdb(url.c_str())));
    if (opened->conn_ == nullptr) return Status::Error(kErrorNotEnoughMemory, "out of memory");
    if (PQstatus(opened->conn_) != CONNECTION_OK) {
      return Status::Error(kErrorBadNetPath, "cannot connect to the database " + RedactedUrl(url) +
                                                 ": " + FirstLine(PQerrorMessage(opened->conn_)));
    }
    PQsetNoticeProcessor(
        opened->conn_, [](void*, const char*) {}, nullptr);
    *connection = std::move(opened);
    return Status::OK();
  }
  ~Connection() { PQfinish(conn_); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool healthy() const { return PQstatus(conn_) == CONNECTION_OK; }

  // Runs sql (one or more statements, no parameters).
  Status Exec(const std::string& sql) {
    Result result(PQexec(conn_, sql.c_str()));
    return Check(result);
  }

  // Runs sql with params ($1, $2, ...), prepared on first use. sql must be a
  // string that lives as long as the program (prepared statements are
  // keyed by its address).
  Status Run(const char* sql, const std::vector<Param>& params, Result* result = nullptr) {
    auto found = prepared_.find(sql);
    if (found == prepared_.end()) {
      const std::string name = "q" + std::to_string(prepared_.size());
      Result prepared(PQprepare(conn_, name.c_str(), sql, 0, nullptr));
      Status status = Check(prepared);
      if (!status.ok()) return status;
      found = prepared_.emplace(sql, name).first;
    }
    std::vector<const char*> values;
    std::vector<int> lengths, formats;
    for (const Param& param : params) {
      values.push_back(param.value.c_str());
      lengths.push_back(static_cast<int>(param.value.size()));
      formats.push_back(param.binary ? 1 : 0);
    }
    Result ran(PQexecPrepared(conn_, found->second.c_str(), static_cast<int>(params.size()),
                              values.data(), lengths.data(), formats.data(), 0));
    Status status = Check(ran);
    if (status.ok() && result != nullptr) *result = std::move(ran);
    return status;
  }

 private:
  explicit Connection(PGconn* conn) : conn_(conn) {}

  Status Check(const Result& result) const {
    const ExecStatusType state =
        result.get() != nullptr ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    if (state == PGRES_COMMAND_OK || state == PGRES_TUPLES_OK) return Status::OK();
    const char* sql_state =
        result.get() != nullptr ? PQresultErrorField(result.get(), PG_DIAG_SQLSTATE) : nullptr;
    return Status::Error(WinErrorOfSqlState(sql_state),
                         "database error: " + FirstLine(PQerrorMessage(conn_)));
  }

  PGconn* conn_;
  std::map<const char*, std::string> prepared_;
};

namespace {

// A transaction on a connection; rolled back unless committed.
template <typename Connection>
class Transaction {
 public:
  explicit Transaction(Connection* connection) : connection_(connection) {}
  ~Transaction() {
    if (open_) connection_->Exec("ROLLBACK");
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  Status Begin() {
    Status status = connection_->Exec("BEGIN");
    open_ = status.ok();
    return status;
  }
  Status Commit() {
    open_ = false;
    return connection_->Exec("COMMIT");
  }

 private:
  Connection* connection_;
  bool open_ = false;
};

}  // namespace

// A connection borrowed from the pool for the length of one call; status()
// says why there is none.
class PostgresStorage::Lease {
 public:
  explicit Lease(PostgresStorage* storage)
      : storage_(storage), status_(storage->pool_.Acquire(&connection_)) {}
  ~Lease() {
    if (connection_ != nullptr) {
      const bool healthy = connection_->healthy();
      storage_->pool_.Release(std::move(connection_), healthy);
    }
  }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;

  const Status& status() const { return status_; }
  Connection* operator->() const { return connection_.get(); }
  Connection* get() const { return connection_.get(); }

 private:
  PostgresStorage* storage_;
  std::unique_ptr<Connection> connection_;
  Status status_;
};

namespace {

// The database's schema version (0: none); *foreign when it holds tables
// but no version, so that it belongs to something else.
template <typename Connection>
Status ReadVersion(Connection* connection, int64_t* version, bool* foreign) {
  *version = 0;
  *foreign = false;
  Result result;
  Status status = connection->Run(
      "SELECT to_regclass('schema_version') IS NOT NULL, "
      "(SELECT count(*) FROM information_schema.tables WHERE table_schema = current_schema())",
      {}, &result);
  if (!status.ok()) return status;
  const bool has_version = result.Text(0, 0) == "t";
  *foreign = !has_version && result.Integer(0, 1) > 0;
  if (!has_version) return Status::OK();
  status = connection->Run("SELECT coalesce(max(version), 0) FROM schema_version", {}, &result);
  if (status.ok()) *version = result.Integer(0, 0);
  return status;
}

// Brings the database up to kSchemaVersion, one step a transaction, each
// under the migration lock with the version read again inside it.
template <typename Connection>
Status Migrate(Connection* connection) {
  for (;;) {
    Transaction<Connection> transaction(connection);
    Status status = transaction.Begin();
    if (status.ok()) status = connection->Exec(kMigrationLock);
    if (status.ok()) {
      status =
          connection->Exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
    }
    int64_t version = 0;
    bool foreign = false;
    if (status.ok()) status = ReadVersion(connection, &version, &foreign);
    if (!status.ok() || version >= kSchemaVersion) return status;
    status = connection->Exec(std::string(kMigrations[version]) +
                              "DELETE FROM schema_version; INSERT INTO schema_version VALUES (" +
                              std::to_string(version + 1) + ");");
    if (!status.ok()) {
      return Status::Error(status.code(),
                           "schema step " + std::to_string(version + 1) + ": " + status.message());
    }
    status = transaction.Commit();
    if (!status.ok()) return status;
  }
}

}  // namespace

Status PostgresStorage::Open(const StorageOptions& options, Mode mode,
                             std::unique_ptr<Storage>* storage) {
  const std::string where = RedactedUrl(options.path);
  std::unique_ptr<Connection> first;
  Status status = Connection::Open(options.path, &first);
  int64_t version = 0;
  bool foreign = false;
  if (status.ok()) status = ReadVersion(first.get(), &version, &foreign);
  if (!status.ok()) return status;
  if (foreign) {
    return mode == Mode::kCreate
               ? Status::Error(kErrorFileExists, where + " holds tables of another program")
               : Status::Corrupt(where + " is not a qvserver database");
  }
  if (mode == Mode::kOpenExisting && version == 0) {
    return Status::NotFound("no qvserver database at " + where +
                            " (make one with \"qvserver init\")");
  }
  if (version > kSchemaVersion || (mode == Mode::kOpenExisting && version < kSchemaVersion)) {
    return SchemaMismatch(where, version, kSchemaVersion);
  }
  if (mode == Mode::kCreate) {
    if (version == kSchemaVersion) {
      return Status::Error(kErrorFileExists, where + " exists already (its schema is current)");
    }
    status = Migrate(first.get());
    if (!status.ok()) {
      return Status::Error(status.code(),
                           (version > 0 ? "cannot bring the database " + where + " up to date: "
                                        : "cannot make the database " + where + ": ") +
                               status.message());
    }
  }
  std::unique_ptr<PostgresStorage> opened(new PostgresStorage(options));
  opened->pool_.Add(std::move(first));
  *storage = std::move(opened);
  return Status::OK();
}

PostgresStorage::PostgresStorage(StorageOptions options)
    : Storage(std::move(options)),
      pool_(kMaxConnections, [url = this->options().path](std::unique_ptr<Connection>* connection) {
        return Connection::Open(url, connection);
      }) {}

PostgresStorage::~PostgresStorage() = default;

Status PostgresStorage::AddUser(const std::string& key_name, const std::string& login,
                                const std::string& password, bool replace) {
  std::string hash;
  Status status = HashPassword(password, &hash);
  if (!status.ok()) return status;
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  static constexpr const char* kInsert =
      "INSERT INTO users (key_name, login, password_hash, created) VALUES ($1, $2, $3, $4)";
  static constexpr const char* kUpsert =
      "INSERT INTO users (key_name, login, password_hash, created) VALUES ($1, $2, $3, $4) "
      "ON CONFLICT (key_name, login) DO UPDATE SET password_hash = excluded.password_hash";
  status = lease->Run(replace ? kUpsert : kInsert, {key_name, login, hash, FormatUtcTime(Now())});
  if (status.code() == kErrorAlreadyExists) {
    return Status::Error(kErrorAlreadyExists, "the user \"" + login + "\" of key name \"" +
                                                  key_name + "\" exists already");
  }
  return status;
}

Status PostgresStorage::CheckUser(const std::string& key_name, const std::string& login,
                                  const std::string& password, bool* valid) {
  *valid = false;
  Result result;
  if (HasNul(key_name) || HasNul(login)) {
    SpendPasswordCheck(password);
    return Status::OK();
  }
  {
    Lease lease(this);
    if (!lease.status().ok()) return lease.status();
    Status status =
        lease->Run("SELECT password_hash, disabled FROM users WHERE key_name = $1 AND login = $2",
                   {key_name, login}, &result);
    if (!status.ok()) return status;
  }
  // The connection goes back to the pool before the slow check, which a
  // disabled user goes through all the same.
  if (result.rows() == 0) {
    SpendPasswordCheck(password);
    return Status::OK();
  }
  *valid = VerifyPassword(password, result.Text(0, 0)) && result.Text(0, 1) != "t";
  return Status::OK();
}

Status PostgresStorage::ListUsers(std::vector<UserRow>* users) {
  users->clear();
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  Result result;
  Status status = lease->Run(
      "SELECT key_name, login, created, disabled FROM users ORDER BY key_name, login", {}, &result);
  for (int row = 0; status.ok() && row < result.rows(); ++row) {
    users->push_back({result.Text(row, 0), result.Text(row, 1), result.Text(row, 2),
                      result.Text(row, 3) == "t"});
  }
  return status;
}

Status PostgresStorage::SetUserDisabled(const std::string& key_name, const std::string& login,
                                        bool disabled, bool* found) {
  *found = false;
  if (HasNul(key_name) || HasNul(login)) return Status::OK();
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  Result result;
  Status status =
      lease->Run("UPDATE users SET disabled = $3 WHERE key_name = $1 AND login = $2 RETURNING 1",
                 {key_name, login, disabled ? "true" : "false"}, &result);
  *found = status.ok() && result.rows() > 0;
  return status;
}

Status PostgresStorage::SetUserPassword(const std::string& key_name, const std::string& login,
                                        const std::string& password, bool* found) {
  *found = false;
  if (HasNul(key_name) || HasNul(login)) return Status::OK();
  std::string hash;
  Status status = HashPassword(password, &hash);
  if (!status.ok()) return status;
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  Result result;
  status = lease->Run(
      "UPDATE users SET password_hash = $3 WHERE key_name = $1 AND login = $2 RETURNING 1",
      {key_name, login, hash}, &result);
  *found = status.ok() && result.rows() > 0;
  return status;
}

Status PostgresStorage::AddAdmin(const std::string& name, const std::string& password,
                                 bool replace) {
  std::string hash;
  Status status = HashPassword(password, &hash);
  if (!status.ok()) return status;
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  static constexpr const char* kInsert =
      "INSERT INTO admins (name, password_hash, created) VALUES ($1, $2, $3)";
  static constexpr const char* kUpsert =
      "INSERT INTO admins (name, password_hash, created) VALUES ($1, $2, $3) "
      "ON CONFLICT (name) DO UPDATE SET password_hash = excluded.password_hash";
  Transaction<Connection> transaction(lease.get());
  status = transaction.Begin();
  if (status.ok())
    status = lease->Run(replace ? kUpsert : kInsert, {name, hash, FormatUtcTime(Now())});
  if (status.code() == kErrorAlreadyExists) {
    return Status::Error(kErrorAlreadyExists, "the admin \"" + name + "\" exists already");
  }
  if (status.ok()) status = lease->Run("DELETE FROM console_sessions WHERE admin = $1", {name});
  return status.ok() ? transaction.Commit() : status;
}

Status PostgresStorage::RemoveAdmin(const std::string& name, bool* found) {
  *found = false;
  if (HasNul(name)) return Status::OK();
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  Transaction<Connection> transaction(lease.get());
  Status status = transaction.Begin();
  if (status.ok()) status = lease->Run("DELETE FROM console_sessions WHERE admin = $1", {name});
  Result result;
  if (status.ok()) {
    status = lease->Run("DELETE FROM admins WHERE name = $1 RETURNING 1", {name}, &result);
  }
  if (!status.ok()) return status;
  *found = result.rows() > 0;
  return transaction.Commit();
}

Status PostgresStorage::CheckAdmin(const std::string& name, const std::string& password,
                                   bool* valid) {
  *valid = false;
  Result result;
  if (!HasNul(name)) {
    Lease lease(this);
    if (!lease.status().ok()) return lease.status();
    Status status = lease->Run("SELECT password_hash FROM admins WHERE name = $1", {name}, &result);
    if (!status.ok()) return status;
  }
  if (result.rows() == 0) {
    SpendPasswordCheck(password);
    return Status::OK();
  }
  *valid = VerifyPassword(password, result.Text(0, 0));
  return Status::OK();
}

Status PostgresStorage::AddConsoleSession(const std::string& id_hash, const std::string& admin,
                                          const std::string& csrf_token, int64_t expires) {
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  const int64_t now = Now();
  Transaction<Connection> transaction(lease.get());
  Status status = transaction.Begin();
  if (status.ok()) status = lease->Run("DELETE FROM console_sessions WHERE expires <= $1", {now});
  if (status.ok()) {
    status = lease->Run(
        "INSERT INTO console_sessions (id_hash, admin, csrf_token, created, expires) "
        "VALUES ($1, $2, $3, $4, $5)",
        {id_hash, admin, csrf_token, now, expires});
  }
  return status.ok() ? transaction.Commit() : status;
}

Status PostgresStorage::FindConsoleSession(const std::string& id_hash, bool* found,
                                           ConsoleSession* session) {
  *found = false;
  if (HasNul(id_hash)) return Status::OK();
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  Result result;
  Status status = lease->Run(
      "SELECT admin, csrf_token, expires FROM console_sessions "
      "WHERE id_hash = $1 AND expires > $2",
      {id_hash, Now()}, &result);
  if (status.ok() && result.rows() > 0) {
    *found = true;
    *session = {result.Text(0, 0), result.Text(0, 1), result.Integer(0, 2)};
  }
  return status;
}

Status PostgresStorage::RemoveConsoleSession(const std::string& id_hash) {
  if (HasNul(id_hash)) return Status::OK();
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  return lease->Run("DELETE FROM console_sessions WHERE id_hash = $1", {id_hash});
}

Status PostgresStorage::IssueLoginId(const std::string& key_name, const std::string& login,
                                     const std::string& remote_address, const CallerInfo& caller,
                                     std::string* login_id) {
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  const int64_t now = Now();
  const std::string id = NewLoginId();
  Transaction<Connection> transaction(lease.get());
  Status status = transaction.Begin();
  if (status.ok()) status = lease->Run("DELETE FROM logins WHERE expires_at <= $1", {now});
  if (status.ok()) {
    status = lease->Run(
        "INSERT INTO logins (login_id, key_name, login, remote_address, issued_at, expires_at) "
        "VALUES ($1, $2, $3, $4, $5, $6)",
        {id, key_name, login, remote_address, now, now + options().login_ttl_seconds});
  }
  if (status.ok()) {
    status = lease->Run(
        "INSERT INTO clients (key_name, login, first_seen, last_seen, last_address, last_agent) "
        "VALUES ($1, $2, $3, $3, $4, $5) ON CONFLICT (key_name, login) DO UPDATE SET "
        "last_seen = excluded.last_seen, last_address = excluded.last_address, "
        "last_agent = excluded.last_agent",
        {key_name, login, now, StorableKey(caller.address), StorableKey(caller.agent)});
  }
  if (status.ok()) {
    status = lease->Run(
        "INSERT INTO login_days (day, key_name, logins) VALUES ($1, $2, 1) "
        "ON CONFLICT (day, key_name) DO UPDATE SET logins = login_days.logins + 1",
        {FormatUtcTime(now).substr(0, 10), key_name});
  }
  if (status.ok()) status = transaction.Commit();
  if (status.ok()) *login_id = id;
  return status;
}

Status PostgresStorage::FindLogin(const std::string& login_id, bool* found, std::string* key_name,
                                  int64_t* list_generation) {
  *found = false;
  if (HasNul(login_id)) return Status::OK();
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  Result result;
  Status status = lease->Run(
      "SELECT l.key_name, coalesce(d.generation, 0) FROM logins AS l "
      "LEFT JOIN install_lists AS d ON d.key_name = l.key_name "
      "WHERE l.login_id = $1 AND l.expires_at > $2",
      {login_id, Now()}, &result);
  if (status.ok() && result.rows() > 0) {
    *found = true;
    *key_name = result.Text(0, 0);
    *list_generation = result.Integer(0, 1);
  }
  return status;
}

Status PostgresStorage::PutInstallList(const std::string& key_name, const std::string& document,
                                       int64_t expected_generation, bool* stored) {
  *stored = false;
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  Transaction<Connection> transaction(lease.get());
  Status status = transaction.Begin();
  if (status.ok() && expected_generation != kAnyGeneration) {
    // Stores of one key name wait for each other here until commit, also
    // when it has no list yet (no row to lock).
    Result current;
    status = lease->Run("SELECT pg_advisory_xact_lock(1364611926, hashtext($1))", {key_name});
    if (status.ok()) {
      status = lease->Run("SELECT generation FROM install_lists WHERE key_name = $1", {key_name},
                          &current);
    }
    if (status.ok() && (current.rows() > 0 ? current.Integer(0, 0) : 0) != expected_generation) {
      return Status::OK();
    }
  }
  if (status.ok()) {
    status = lease->Run(
        "INSERT INTO install_lists (key_name, document, updated, generation) "
        "VALUES ($1, $2, $3, nextval('list_generations')) "
        "ON CONFLICT (key_name) DO UPDATE SET document = excluded.document, "
        "updated = excluded.updated, generation = excluded.generation",
        {key_name, document, FormatUtcTime(Now())});
  }
  if (status.ok()) {
    status = lease->Run(
        "INSERT INTO install_list_history (generation, key_name, document, imported) "
        "SELECT generation, key_name, document, updated FROM install_lists WHERE key_name = $1",
        {key_name});
  }
  if (status.ok()) {
    status = lease->Run(
        "DELETE FROM install_list_history WHERE key_name = $1 AND generation <= "
        "(SELECT generation FROM install_list_history WHERE key_name = $1 "
        "ORDER BY generation DESC LIMIT 1 OFFSET $2)",
        {key_name, kInstallListHistoryDepth});
  }
  if (status.ok()) status = transaction.Commit();
  *stored = status.ok();
  return status;
}

Status PostgresStorage::GetInstallListHistory(const std::string& key_name, int64_t generation,
                                              bool* found, std::string* document) {
  *found = false;
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  Result result;
  Status status = lease->Run(
      "SELECT document FROM install_list_history WHERE key_name = $1 AND generation = $2",
      {key_name, generation}, &result);
  if (status.ok() && result.rows() > 0) {
    *found = true;
    *document = result.Text(0, 0);
  }
  return status;
}

Status PostgresStorage::GetInstallList(const std::string& key_name, bool* found,
                                       std::string* document, int64_t* generation) {
  *found = false;
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  Result result;
  Status status = lease->Run("SELECT document, generation FROM install_lists WHERE key_name = $1",
                             {key_name}, &result);
  if (status.ok() && result.rows() > 0) {
    *found = true;
    *document = result.Text(0, 0);
    *generation = result.Integer(0, 1);
  }
  return status;
}

Status PostgresStorage::ListInstallLists(std::vector<InstallListRow>* lists) {
  lists->clear();
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  Result result;
  Status status = lease->Run(
      "SELECT key_name, generation, updated, "
      "coalesce(json_array_length(document::json -> 'records'), 0) "
      "FROM install_lists ORDER BY key_name",
      {}, &result);
  for (int row = 0; status.ok() && row < result.rows(); ++row) {
    lists->push_back(
        {result.Text(row, 0), result.Integer(row, 1), result.Text(row, 2), result.Integer(row, 3)});
  }
  return status;
}

Status PostgresStorage::AddLoginNote(const std::string& login_id, const std::string& text) {
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  const int64_t now = Now();
  Transaction<Connection> transaction(lease.get());
  Status status = transaction.Begin();
  Result login;
  if (status.ok()) {
    status = lease->Run(
        "SELECT l.key_name, l.login, coalesce(d.generation, 0) FROM logins AS l "
        "LEFT JOIN install_lists AS d ON d.key_name = l.key_name WHERE l.login_id = $1",
        {StorableKey(login_id)}, &login);
  }
  if (!status.ok()) return status;
  const bool known = login.rows() > 0;
  const std::string key_name = known ? login.Text(0, 0) : "";
  const std::string account = known ? login.Text(0, 1) : "";
  status = lease->Run(
      "INSERT INTO login_notes (login_id, time, text, key_name, login) "
      "VALUES ($1, $2, $3, $4, $5)",
      {login_id, FormatUtcTime(now), Param::Bytes(text), key_name, account});
  if (status.ok() && known) {
    status = lease->Run(
        "INSERT INTO clients (key_name, login, first_seen, last_seen, last_report, "
        "last_report_time, last_generation) VALUES ($1, $2, $3, $3, $4, $3, $5) "
        "ON CONFLICT (key_name, login) DO UPDATE SET last_seen = excluded.last_seen, "
        "last_report = excluded.last_report, last_report_time = excluded.last_report_time, "
        "last_generation = excluded.last_generation",
        {key_name, account, now, Param::Bytes(text), login.Integer(0, 2)});
  }
  return status.ok() ? transaction.Commit() : status;
}

Status PostgresStorage::ListLoginNotes(int64_t offset, int64_t limit,
                                       std::vector<LoginNote>* notes) {
  notes->clear();
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  Result result;
  Status status = lease->Run(
      "SELECT login_id, time, text, key_name, login FROM login_notes ORDER BY id DESC "
      "LIMIT $2 OFFSET $1",
      {offset, limit}, &result);
  for (int row = 0; status.ok() && row < result.rows(); ++row) {
    notes->push_back({result.Text(row, 0), result.Text(row, 1), result.Bytes(row, 2),
                      result.Text(row, 3), result.Text(row, 4)});
  }
  return status;
}

Status PostgresStorage::ListClients(const std::string& key_name, std::vector<ClientRow>* clients) {
  clients->clear();
  if (HasNul(key_name)) return Status::OK();
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  Result result;
  Status status = lease->Run(
      "SELECT key_name, login, first_seen, last_seen, last_address, last_agent, last_report, "
      "last_report_time, last_generation FROM clients WHERE $1::text = '' OR key_name = $1 "
      "ORDER BY key_name, login",
      {key_name}, &result);
  for (int row = 0; status.ok() && row < result.rows(); ++row) {
    clients->push_back({result.Text(row, 0), result.Text(row, 1), result.Integer(row, 2),
                        result.Integer(row, 3), result.Text(row, 4), result.Text(row, 5),
                        result.Bytes(row, 6), result.Integer(row, 7), result.Integer(row, 8)});
  }
  return status;
}

Status PostgresStorage::ListLoginDays(const std::string& first_day, const std::string& key_name,
                                      std::vector<LoginDay>* days) {
  days->clear();
  if (HasNul(key_name) || HasNul(first_day)) return Status::OK();
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  Result result;
  Status status = lease->Run(
      "SELECT day, key_name, logins FROM login_days "
      "WHERE day >= $1 AND ($2::text = '' OR key_name = $2) ORDER BY day, key_name",
      {first_day, key_name}, &result);
  for (int row = 0; status.ok() && row < result.rows(); ++row) {
    days->push_back({result.Text(row, 0), result.Text(row, 1), result.Integer(row, 2)});
  }
  return status;
}

namespace {

// Locks the row of one throttle entry for the rest of the transaction
// (made with zeros when missing) and reads it; zeros when it has expired.
// A row removed by another instance's purge between the two statements is
// made again.
template <typename Connection>
Status LockThrottleEntry(Connection* connection, const char* insert, const char* select,
                         const std::vector<Param>& key, int64_t now_ms, ThrottleEntry* entry) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    Result result;
    Status status = connection->Run(insert, key);
    if (status.ok()) status = connection->Run(select, key, &result);
    if (!status.ok()) return status;
    if (result.rows() == 0) continue;
    *entry = {};
    if (result.Integer(0, 3) > now_ms) {
      *entry = {result.Integer(0, 0), result.Integer(0, 1), result.Integer(0, 2),
                result.Integer(0, 3)};
    }
    return Status::OK();
  }
  return Status::Error(kErrorSharingViolation, "the login throttle's entry keeps vanishing");
}

}  // namespace

Status PostgresStorage::ChangeThrottle(const std::string& any_key_name,
                                       const std::string& any_login, const std::string& any_address,
                                       int64_t now_ms, const ThrottleChange& change) {
  const std::string key_name = StorableKey(any_key_name);
  const std::string login = StorableKey(any_login);
  const std::string address = StorableKey(any_address);
  Lease lease(this);
  if (!lease.status().ok()) return lease.status();
  ThrottleEntry account, from;
  bool changed = false;
  {
    // The account's row first, then the address's: every instance locks in
    // this order, so two changes never wait for each other in a circle.
    Transaction<Connection> transaction(lease.get());
    Status status = transaction.Begin();
    if (status.ok()) {
      status = LockThrottleEntry(
          lease.get(),
          "INSERT INTO throttle_accounts VALUES ($1, $2, 0, 0, 0, 0) ON CONFLICT DO NOTHING",
          "SELECT failures, last_failure, held_until, expires FROM throttle_accounts "
          "WHERE key_name = $1 AND login = $2 FOR UPDATE",
          {key_name, login}, now_ms, &account);
    }
    if (status.ok()) {
      status = LockThrottleEntry(
          lease.get(),
          "INSERT INTO throttle_addresses VALUES ($1, 0, 0, 0, 0) ON CONFLICT DO NOTHING",
          "SELECT failures, last_failure, held_until, expires FROM throttle_addresses "
          "WHERE address = $1 FOR UPDATE",
          {address}, now_ms, &from);
    }
    if (!status.ok()) return status;
    changed = change(&account, &from);
    if (changed) {
      status = lease->Run(
          "UPDATE throttle_accounts SET failures = $3, last_failure = $4, held_until = $5, "
          "expires = $6 WHERE key_name = $1 AND login = $2",
          {key_name, login, account.failures, account.last_failure, account.held_until,
           account.expires});
    }
    if (changed && status.ok()) {
      status = lease->Run(
          "UPDATE throttle_addresses SET failures = $2, last_failure = $3, held_until = $4, "
          "expires = $5 WHERE address = $1",
          {address, from.failures, from.last_failure, from.held_until, from.expires});
    }
    if (status.ok()) status = transaction.Commit();
    if (!status.ok()) return status;
  }
  // Expired entries go in a statement of their own that skips the rows other
  // changes hold, so that it never waits for them.
  return lease->Run(
      "WITH a AS (DELETE FROM throttle_accounts WHERE ctid = ANY(ARRAY("
      "  SELECT ctid FROM throttle_accounts WHERE expires <= $1 LIMIT 1000 "
      "  FOR UPDATE SKIP LOCKED))), "
      "b AS (DELETE FROM throttle_addresses WHERE ctid = ANY(ARRAY("
      "  SELECT ctid FROM throttle_addresses WHERE expires <= $1 LIMIT 1000 "
      "  FOR UPDATE SKIP LOCKED))) "
      "SELECT 1",
      {now_ms});
}

}  // namespace qv::server
