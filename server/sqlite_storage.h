// SqliteStorage: the server's database in one SQLite file (the default
// store; server/storage.h gives the calls and the tables).
//
// The file carries the application id "QVSV" and its schema version as
// user_version. It runs in WAL mode, so readers never wait for a writer;
// writers take the write lock at the start of their transaction (BEGIN
// IMMEDIATE) and wait for each other up to a time limit.
#ifndef QV_SERVER_SQLITE_STORAGE_H_
#define QV_SERVER_SQLITE_STORAGE_H_

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/storage.h"

namespace qv::server {

class SqliteStorage final : public Storage {
 public:
  // Storage::Open for a location that is a file path.
  static Status Open(const StorageOptions& options, Mode mode, std::unique_ptr<Storage>* storage);
  ~SqliteStorage() override;

  Status AddUser(const std::string& key_name, const std::string& login, const std::string& password,
                 bool replace) override;
  Status CheckUser(const std::string& key_name, const std::string& login,
                   const std::string& password, bool* valid) override;
  Status ListUsers(std::vector<UserRow>* users) override;
  Status SetUserDisabled(const std::string& key_name, const std::string& login, bool disabled,
                         bool* found) override;
  Status SetUserPassword(const std::string& key_name, const std::string& login,
                         const std::string& password, bool* found) override;
  Status AddAdmin(const std::string& name, const std::string& password, bool replace) override;
  Status RemoveAdmin(const std::string& name, bool* found) override;
  Status CheckAdmin(const std::string& name, const std::string& password, bool* valid) override;
  Status AddConsoleSession(const std::string& id_hash, const std::string& admin,
                           const std::string& csrf_token, int64_t expires) override;
  Status FindConsoleSession(const std::string& id_hash, bool* found,
                            ConsoleSession* session) override;
  Status RemoveConsoleSession(const std::string& id_hash) override;
  Status IssueLoginId(const std::string& key_name, const std::string& login,
                      const std::string& remote_address, const CallerInfo& caller,
                      std::string* login_id) override;
  Status FindLogin(const std::string& login_id, bool* found, std::string* key_name,
                   int64_t* list_generation) override;
  using Storage::PutInstallList;
  Status PutInstallList(const std::string& key_name, const std::string& document,
                        int64_t expected_generation, bool* stored) override;
  Status GetInstallList(const std::string& key_name, bool* found, std::string* document,
                        int64_t* generation) override;
  Status ListInstallLists(std::vector<InstallListRow>* lists) override;
  Status GetInstallListHistory(const std::string& key_name, int64_t generation, bool* found,
                               std::string* document) override;
  Status AddLoginNote(const std::string& login_id, const std::string& text) override;
  using Storage::ListLoginNotes;
  Status ListLoginNotes(int64_t offset, int64_t limit, std::vector<LoginNote>* notes) override;
  Status ListClients(const std::string& key_name, std::vector<ClientRow>* clients) override;
  Status ListLoginDays(const std::string& first_day, const std::string& key_name,
                       std::vector<LoginDay>* days) override;
  Status ChangeThrottle(const std::string& key_name, const std::string& login,
                        const std::string& address, int64_t now_ms,
                        const ThrottleChange& change) override;

 private:
  class Connection;
  class Lease;

  explicit SqliteStorage(StorageOptions options);
  // A connection for the calling thread.
  Status Acquire(std::unique_ptr<Connection>* connection);
  void Release(std::unique_ptr<Connection> connection);

  std::mutex pool_mutex_;
  std::vector<std::unique_ptr<Connection>> idle_;
};

}  // namespace qv::server

#endif  // QV_SERVER_SQLITE_STORAGE_H_
