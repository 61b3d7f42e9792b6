// Storage: the server's database: users, one install list per key name,
// issued login IDs, the login notes, and the login throttle's failure
// counts. Two stores implement it: an SQLite file (server/sqlite_storage.h,
// the default) and a PostgreSQL database (server/postgres_storage.h), which
// several qvserver instances can share. Open picks the store by the
// location: a postgresql:// (or postgres://) URL, or else an SQLite file.
//
// Tables (both stores):
//   users(key_name, login, password_hash, created,       one row per login
//         disabled)
//   install_lists(key_name, document, updated,           the list document
//                 generation)
//   logins(login_id, key_name, login, remote_address,    issued login IDs
//          issued_at, expires_at)                        (Unix seconds)
//   login_notes(id, login_id, time, text,                what clients report
//               key_name, login)
//   clients(key_name, login, first_seen, last_seen,      one row per account
//           last_address, last_agent, last_report,       that logged in
//           last_report_time, last_generation)           (Unix seconds)
//   login_days(day, key_name, logins)                    logins per UTC day
//   install_list_history(generation, key_name,           the lists handed out,
//                        document, imported)             the newest of each key
//   throttle_accounts(key_name, login, failures,         failed logins
//                     last_failure, held_until, expires) (Unix milliseconds)
//   throttle_addresses(address, failures, last_failure,
//                      held_until, expires)
//   admins(name, password_hash, created)                 the console's accounts
//   console_sessions(id_hash, admin, csrf_token,         console sign-ins
//                    created, expires)                   (Unix seconds)
//
// The schema is versioned: each store has a numbered list of migration
// steps, each run in a transaction of its own. kCreate makes the newest
// schema, or brings an older database up to date; kOpenExisting refuses a
// database that is older ("run qvserver init") or newer than this program.
//
// A Storage is safe for concurrent use from any number of threads: each
// call borrows a connection of its own from a pool (made on demand, kept
// for reuse). Every change is one transaction. Every call that can fail
// returns a Status whose message says what was being done.
#ifndef QV_SERVER_STORAGE_H_
#define QV_SERVER_STORAGE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/status.h"

namespace qv::server {

// How long an issued login ID stays valid unless configured otherwise.
inline constexpr int64_t kDefaultLoginTtlSeconds = 3600;

struct StorageOptions {
  // An SQLite file, or a postgresql:// URL (libpq's connection URI).
  std::string path;
  // Login IDs expire this many seconds after they were issued.
  int64_t login_ttl_seconds = kDefaultLoginTtlSeconds;
  // The current time in Unix seconds; the system clock when empty.
  std::function<int64_t()> clock;
};

// How many of a key name's imported lists are kept, so that the lists
// clients were given can still be read after newer imports.
inline constexpr int64_t kInstallListHistoryDepth = 20;

struct LoginNote {
  std::string login_id;
  std::string time;  // ISO 8601, UTC: "2024-05-01T12:34:56Z"
  std::string text;  // as received
  // The account of the login ID; "" for a note of an unknown login ID.
  std::string key_name;
  std::string login;
};

// Who made a business call, as the server saw it.
struct CallerInfo {
  std::string address;  // the address the login throttle counts for
  std::string agent;    // the HTTP User-Agent
};

// A client: an account (key name, login) that logged in, with what it last
// said. Times are Unix seconds.
struct ClientRow {
  std::string key_name;
  std::string login;
  int64_t first_seen = 0;
  int64_t last_seen = 0;
  std::string last_address;
  std::string last_agent;
  std::string last_report;  // as received; "" before the first one
  int64_t last_report_time = 0;
  // The generation of the install list the client was given with its last
  // report (0: none).
  int64_t last_generation = 0;
};

// The successful logins of one key name on one UTC day ("2024-05-01").
struct LoginDay {
  std::string day;
  std::string key_name;
  int64_t logins = 0;
};

// The login throttle's state of one account or one address
// (server/login_throttle.h gives the meaning). Times are Unix milliseconds;
// an entry whose expires has passed is forgotten and reads as all zeros.
struct ThrottleEntry {
  int64_t failures = 0;
  int64_t last_failure = 0;
  int64_t held_until = 0;
  int64_t expires = 0;
};

// A user as the console lists it.
struct UserRow {
  std::string key_name;
  std::string login;
  std::string created;  // ISO 8601, UTC
  bool disabled = false;
};

// A stored install list as the console lists it.
struct InstallListRow {
  std::string key_name;
  int64_t generation = 0;
  std::string updated;  // ISO 8601, UTC
  int64_t records = 0;
};

// A console session: who signed in, the token its forms must carry, and
// when it ends (Unix seconds).
struct ConsoleSession {
  std::string admin;
  std::string csrf_token;
  int64_t expires = 0;
};

// Called with the stored entries of an account and of an address; changes
// them and returns whether they are to be stored.
using ThrottleChange = std::function<bool(ThrottleEntry* account, ThrottleEntry* address)>;

// Whether location names a PostgreSQL database (a postgresql:// or
// postgres:// URL) rather than an SQLite file.
bool IsPostgresUrl(const std::string& location);

// PutInstallList's expected generation that any stored list matches.
inline constexpr int64_t kAnyGeneration = -1;

class Storage {
 public:
  enum class Mode {
    kCreate,        // a new database, or one of an older schema brought up
                    // to date; refuses one that holds anything else or is
                    // current already
    kOpenExisting,  // a database made by kCreate, of the current schema
  };

  // Opens or makes the database of options.path. Fails when it cannot be
  // reached, is not such a database, or has another schema than the one
  // mode accepts.
  static Status Open(const StorageOptions& options, Mode mode, std::unique_ptr<Storage>* storage);
  virtual ~Storage() = default;
  Storage(const Storage&) = delete;
  Storage& operator=(const Storage&) = delete;

  // ---- Users ---------------------------------------------------------------

  // Adds a user with a hash of password. A user of that key name and login
  // that exists already is refused, unless replace is set: then its password
  // is replaced.
  virtual Status AddUser(const std::string& key_name, const std::string& login,
                         const std::string& password, bool replace) = 0;
  // Sets *valid to whether the user exists, is not disabled and password is
  // theirs. An unknown or disabled user takes as long to refuse as a wrong
  // password.
  virtual Status CheckUser(const std::string& key_name, const std::string& login,
                           const std::string& password, bool* valid) = 0;
  // Every user, by key name and login.
  virtual Status ListUsers(std::vector<UserRow>* users) = 0;
  // Disables or enables a user; *found false when there is no such user.
  virtual Status SetUserDisabled(const std::string& key_name, const std::string& login,
                                 bool disabled, bool* found) = 0;
  // Gives an existing user a new password; *found false when there is none.
  virtual Status SetUserPassword(const std::string& key_name, const std::string& login,
                                 const std::string& password, bool* found) = 0;

  // ---- Console accounts and sessions -----------------------------------------

  // Adds a console account, as AddUser adds a user. A replaced password
  // ends the account's sessions.
  virtual Status AddAdmin(const std::string& name, const std::string& password, bool replace) = 0;
  // Removes a console account and ends its sessions; *found false when there
  // is none.
  virtual Status RemoveAdmin(const std::string& name, bool* found) = 0;
  // As CheckUser, for a console account.
  virtual Status CheckAdmin(const std::string& name, const std::string& password, bool* valid) = 0;
  // Stores a session under the hash of its ID, valid until expires (Unix
  // seconds). Expired sessions are removed on the way.
  virtual Status AddConsoleSession(const std::string& id_hash, const std::string& admin,
                                   const std::string& csrf_token, int64_t expires) = 0;
  // The session of id_hash; *found false when unknown or expired.
  virtual Status FindConsoleSession(const std::string& id_hash, bool* found,
                                    ConsoleSession* session) = 0;
  virtual Status RemoveConsoleSession(const std::string& id_hash) = 0;

  // ---- Login IDs -----------------------------------------------------------

  // Issues a new login ID for a user (whose password was checked), valid for
  // the configured time, and records the login: the client's last call and
  // the day's count. Expired IDs are removed on the way.
  virtual Status IssueLoginId(const std::string& key_name, const std::string& login,
                              const std::string& remote_address, const CallerInfo& caller,
                              std::string* login_id) = 0;
  // The key name of a valid login ID, and the generation of that key name's
  // install list (0 when it has none); *found false for an unknown or
  // expired ID.
  virtual Status FindLogin(const std::string& login_id, bool* found, std::string* key_name,
                           int64_t* list_generation) = 0;

  // ---- Install lists ---------------------------------------------------------

  // Stores the list document of a key name, replacing the one it had. Each
  // store gives the list a generation above every earlier one, so that a
  // copy kept in memory can tell whether it is still current. The list is
  // also kept in the history, which holds the newest
  // kInstallListHistoryDepth of each key name.
  // REQUIRES: document is a valid list document.
  Status PutInstallList(const std::string& key_name, const std::string& document) {
    bool stored = false;
    return PutInstallList(key_name, document, kAnyGeneration, &stored);
  }
  // The same, only while the key name's list is still of expected_generation
  // (0: it has none), checked in the same transaction, so that a change
  // made in between is never overwritten unseen; otherwise *stored is false
  // and nothing changes. kAnyGeneration stores whatever the list is.
  virtual Status PutInstallList(const std::string& key_name, const std::string& document,
                                int64_t expected_generation, bool* stored) = 0;
  // The document of a key name's list of that generation from the history;
  // *found false when it was never stored or is no longer kept.
  virtual Status GetInstallListHistory(const std::string& key_name, int64_t generation, bool* found,
                                       std::string* document) = 0;
  // The stored document and its generation; *found false when none was
  // stored.
  virtual Status GetInstallList(const std::string& key_name, bool* found, std::string* document,
                                int64_t* generation) = 0;

  // Every stored list, by key name, without its document.
  virtual Status ListInstallLists(std::vector<InstallListRow>* lists) = 0;

  // ---- Login notes -----------------------------------------------------------

  // Stores a note with the current time and the account of the login ID.
  // When the login ID is known, the note is also its client's last report,
  // given with the generation of the key name's current list.
  virtual Status AddLoginNote(const std::string& login_id, const std::string& text) = 0;
  // At most limit notes, newest first, after skipping offset of them.
  virtual Status ListLoginNotes(int64_t offset, int64_t limit, std::vector<LoginNote>* notes) = 0;
  // Every note, newest first.
  Status ListLoginNotes(std::vector<LoginNote>* notes) {
    return ListLoginNotes(0, INT64_MAX, notes);
  }

  // ---- Clients -----------------------------------------------------------------

  // The clients of key_name (every key name's when ""), by key name and
  // login.
  virtual Status ListClients(const std::string& key_name, std::vector<ClientRow>* clients) = 0;
  // The login counts of the days from first_day on ("2024-05-01"), of
  // key_name (every key name's when ""), by day.
  virtual Status ListLoginDays(const std::string& first_day, const std::string& key_name,
                               std::vector<LoginDay>* days) = 0;

  // ---- Login throttle --------------------------------------------------------

  // Reads the entries of the account (key_name, login) and of address as
  // they are at now_ms, lets change alter them and stores what it returns,
  // all in one transaction: no other change of either entry, from this
  // process or another, comes in between. Entries expired at now_ms are
  // removed on the way.
  virtual Status ChangeThrottle(const std::string& key_name, const std::string& login,
                                const std::string& address, int64_t now_ms,
                                const ThrottleChange& change) = 0;

  int64_t Now() const;
  const std::string& path() const { return options_.path; }

 protected:
  explicit Storage(StorageOptions options) : options_(std::move(options)) {}
  const StorageOptions& options() const { return options_; }

 private:
  StorageOptions options_;
};

// Unix seconds as ISO 8601 in UTC ("2024-05-01T12:34:56Z").
std::string FormatUtcTime(int64_t unix_seconds);

// What a store says when a database's schema is not the one it needs:
// version is the database's, newest this program's.
Status SchemaMismatch(const std::string& where, int64_t version, int64_t newest);

}  // namespace qv::server

#endif  // QV_SERVER_STORAGE_H_
