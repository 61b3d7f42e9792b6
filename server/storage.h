// Storage: the server's database in one SQLite file: users, one install list
// per key name, issued login IDs and the login notes.
//
// Schema (application id "QVSV", user_version 1):
//   users(key_name, login, password_hash, created)       one row per login
//   install_lists(key_name, document, updated,           the list document
//                 generation)
//   logins(login_id, key_name, login, remote_address,    issued login IDs
//          issued_at, expires_at)                        (Unix seconds)
//   login_notes(id, login_id, time, text)                what clients report
//
// The file runs in WAL mode, so readers never wait for a writer; every change
// is one transaction. A Storage is safe for concurrent use from any number of
// threads: each call borrows a connection of its own from a pool (made on
// demand, kept for reuse), and writers wait for each other up to a time
// limit.
//
// Every call that can fail returns a Status whose message says what was
// being done.
#ifndef QV_SERVER_STORAGE_H_
#define QV_SERVER_STORAGE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/status.h"

namespace qv::server {

// How long an issued login ID stays valid unless configured otherwise.
inline constexpr int64_t kDefaultLoginTtlSeconds = 3600;

struct StorageOptions {
  std::string path;
  // Login IDs expire this many seconds after they were issued.
  int64_t login_ttl_seconds = kDefaultLoginTtlSeconds;
  // The current time in Unix seconds; the system clock when empty.
  std::function<int64_t()> clock;
};

struct LoginNote {
  std::string login_id;
  std::string time;  // ISO 8601, UTC: "2024-05-01T12:34:56Z"
  std::string text;  // as received
};

class Storage {
 public:
  enum class Mode {
    kCreate,        // a new database; refuses a file that holds anything
    kOpenExisting,  // a database made by kCreate
  };

  // Opens or makes the database. Fails when the file cannot be opened, is
  // not such a database, or has a newer schema.
  static Status Open(const StorageOptions& options, Mode mode, std::unique_ptr<Storage>* storage);
  ~Storage();
  Storage(const Storage&) = delete;
  Storage& operator=(const Storage&) = delete;

  // ---- Users ---------------------------------------------------------------

  // Adds a user with a hash of password. A user of that key name and login
  // that exists already is refused, unless replace is set: then its password
  // is replaced.
  Status AddUser(const std::string& key_name, const std::string& login, const std::string& password,
                 bool replace);
  // Sets *valid to whether the user exists and password is theirs. An unknown
  // user takes as long to refuse as a wrong password.
  Status CheckUser(const std::string& key_name, const std::string& login,
                   const std::string& password, bool* valid);

  // ---- Login IDs -----------------------------------------------------------

  // Issues a new login ID for a user (whose password was checked), valid for
  // the configured time. Expired IDs are removed on the way.
  Status IssueLoginId(const std::string& key_name, const std::string& login,
                      const std::string& remote_address, std::string* login_id);
  // The key name of a valid login ID, and the generation of that key name's
  // install list (0 when it has none); *found false for an unknown or
  // expired ID.
  Status FindLogin(const std::string& login_id, bool* found, std::string* key_name,
                   int64_t* list_generation);

  // ---- Install lists ---------------------------------------------------------

  // Stores the list document of a key name, replacing the one it had. Each
  // store gives the list a generation above every earlier one, so that a
  // copy kept in memory can tell whether it is still current.
  // REQUIRES: document is a valid list document.
  Status PutInstallList(const std::string& key_name, const std::string& document);
  // The stored document and its generation; *found false when none was
  // stored.
  Status GetInstallList(const std::string& key_name, bool* found, std::string* document,
                        int64_t* generation);

  // ---- Login notes -----------------------------------------------------------

  // Stores a note with the current time.
  Status AddLoginNote(const std::string& login_id, const std::string& text);
  // Every note, newest first.
  Status ListLoginNotes(std::vector<LoginNote>* notes);

  int64_t Now() const;
  const std::string& path() const { return options_.path; }

 private:
  class Connection;
  class Lease;

  explicit Storage(StorageOptions options);
  // A connection for the calling thread.
  Status Acquire(std::unique_ptr<Connection>* connection);
  void Release(std::unique_ptr<Connection> connection);

  StorageOptions options_;
  std::mutex pool_mutex_;
  std::vector<std::unique_ptr<Connection>> idle_;
};

// Unix seconds as ISO 8601 in UTC ("2024-05-01T12:34:56Z").
std::string FormatUtcTime(int64_t unix_seconds);

}  // namespace qv::server

#endif  // QV_SERVER_STORAGE_H_
