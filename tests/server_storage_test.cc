// The server's database on both stores (SQLite and PostgreSQL): password
// hashes, login IDs and their expiry, login notes, install lists, the login
// throttle's entries, and the schema's versions.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "server/storage.h"
#include "tests/postgres_server.h"
#include "tests/test_util.h"

namespace qv::server {
namespace {

enum class Store { kSqlite, kPostgres };

class StorageTest : public ::testing::TestWithParam<Store> {
 protected:
  StorageTest() : dir_(testing::MakeTempDir("qvstorage")), location_(NewLocation()) {}
  ~StorageTest() override { testing::RemoveTree(dir_); }

  bool sqlite() const { return GetParam() == Store::kSqlite; }

  // A place for a database that does not exist yet (PostgreSQL: an empty
  // database).
  std::string NewLocation() {
    if (sqlite()) return dir_ + "/server" + std::to_string(locations_++) + ".db";
    databases_.push_back(std::make_unique<testing::PostgresDatabase>());
    return databases_.back()->url();
  }

  Status Open(const std::string& location, Storage::Mode mode, std::unique_ptr<Storage>* storage,
              int64_t ttl = kDefaultLoginTtlSeconds) {
    StorageOptions options;
    options.path = location;
    options.login_ttl_seconds = ttl;
    options.clock = [this] { return now_.load(); };
    return Storage::Open(options, mode, storage);
  }

  std::unique_ptr<Storage> Make(int64_t ttl = kDefaultLoginTtlSeconds) {
    std::unique_ptr<Storage> storage;
    const Status opened = Open(location_, Storage::Mode::kCreate, &storage, ttl);
    EXPECT_TRUE(opened.ok()) << opened.ToString();
    return storage;
  }

  // Runs sql on the database at location directly; the first column of the
  // first row.
  std::string Sql(const std::string& sql, const std::string& location = "") {
    const std::string& where = location.empty() ? location_ : location;
    std::string value;
    if (!sqlite()) {
      const Status status = testing::RunSql(where, sql, &value);
      EXPECT_TRUE(status.ok()) << status.ToString();
      return value;
    }
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(where.c_str(), &db), SQLITE_OK);
    auto first = [](void* out, int, char** values, char**) {
      if (values[0] != nullptr) *static_cast<std::string*>(out) = values[0];
      return 1;  // one row is enough
    };
    const int rc = sqlite3_exec(db, sql.c_str(), first, &value, nullptr);
    EXPECT_TRUE(rc == SQLITE_OK || rc == SQLITE_ABORT) << sqlite3_errmsg(db);
    sqlite3_close(db);
    return value;
  }

  // Sets the schema version the database says it has.
  void SetVersion(int version) {
    Sql(sqlite() ? "PRAGMA user_version = " + std::to_string(version)
                 : "UPDATE schema_version SET version = " + std::to_string(version));
  }

  std::string dir_;
  int locations_ = 0;
  std::vector<std::unique_ptr<testing::PostgresDatabase>> databases_;
  std::string location_;
  std::atomic<int64_t> now_{1700000000};
};

INSTANTIATE_TEST_SUITE_P(Stores, StorageTest, ::testing::Values(Store::kSqlite, Store::kPostgres),
                         [](const ::testing::TestParamInfo<Store>& info) {
                           return info.param == Store::kSqlite ? "Sqlite" : "Postgres";
                         });

TEST_P(StorageTest, KeepsOnlyASlowHashAndChecksPasswords) {
  auto storage = Make();
  Status status = storage->AddUser("KEY", "ann", "s3cret pass", false);
  ASSERT_TRUE(status.ok()) << status.ToString();

  bool valid = false;
  ASSERT_TRUE(storage->CheckUser("KEY", "ann", "s3cret pass", &valid).ok());
  EXPECT_TRUE(valid);
  for (const auto& [key, login, password] :
       std::vector<std::tuple<std::string, std::string, std::string>>{
           {"KEY", "ann", "s3cret pas"},
           {"KEY", "ann", ""},
           {"KEY", "bob", "s3cret pass"},
           {"OTHER", "ann", "s3cret pass"},
           {"key", "ann", "s3cret pass"},
           {std::string("KEY\0", 4), "ann", "s3cret pass"}}) {
    ASSERT_TRUE(storage->CheckUser(key, login, password, &valid).ok());
    EXPECT_FALSE(valid) << key << "/" << login << "/" << password;
  }

  // A second user of the same name is refused; --replace sets the password.
  EXPECT_EQ(storage->AddUser("KEY", "ann", "other", false).code(), kErrorAlreadyExists);
  ASSERT_TRUE(storage->AddUser("KEY", "ann", "other", true).ok());
  ASSERT_TRUE(storage->CheckUser("KEY", "ann", "s3cret pass", &valid).ok());
  EXPECT_FALSE(valid);
  ASSERT_TRUE(storage->CheckUser("KEY", "ann", "other", &valid).ok());
  EXPECT_TRUE(valid);

  // What the database holds is an Argon2id hash, not the password.
  const std::string hash = Sql("SELECT password_hash FROM users");
  EXPECT_EQ(hash.rfind("$argon2id$", 0), 0u) << hash;
  EXPECT_EQ(hash.find("other"), std::string::npos);
}

TEST_P(StorageTest, LoginIdsAreRandomAndExpire) {
  auto storage = Make(/*ttl=*/60);
  std::string first, second, key_name;
  ASSERT_TRUE(storage->IssueLoginId("KEY", "ann", "192.0.2.7", {}, &first).ok());
  ASSERT_TRUE(storage->IssueLoginId("KEY", "ann", "192.0.2.7", {}, &second).ok());
  EXPECT_EQ(first.size(), 32u);
  EXPECT_EQ(first.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(first, second);

  bool found = false;
  int64_t generation = -1;
  now_ += 59;
  ASSERT_TRUE(storage->FindLogin(first, &found, &key_name, &generation).ok());
  EXPECT_TRUE(found);
  EXPECT_EQ(key_name, "KEY");
  EXPECT_EQ(generation, 0);  // no list
  for (const std::string& unknown :
       {std::string("0123456789abcdef0123456789abcdef"), first + std::string(1, '\0')}) {
    ASSERT_TRUE(storage->FindLogin(unknown, &found, &key_name, &generation).ok());
    EXPECT_FALSE(found);
  }

  now_ += 1;
  ASSERT_TRUE(storage->FindLogin(first, &found, &key_name, &generation).ok());
  EXPECT_FALSE(found);
  ASSERT_TRUE(storage->FindLogin(second, &found, &key_name, &generation).ok());
  EXPECT_FALSE(found);
}

TEST_P(StorageTest, EveryStoredListHasANewerGenerationAndIsListed) {
  auto storage = Make();
  // Documents of no records, two and one.
  auto document_of = [](const std::string& records) {
    return R"({"format": "qv-installlist", "version": 1, )"
           R"("fields": [{"name": "SequenceID", "type": "integer"}], "records": [)" +
           records + "]}";
  };
  const std::string first_list = document_of(""), other_list = document_of("[1], [2]"),
                    second_list = document_of("[3]");
  std::string id, key_name, document;
  ASSERT_TRUE(storage->IssueLoginId("KEY", "ann", "", {}, &id).ok());
  bool found = false;
  int64_t first = 0, other = 0, second = 0, read = 0;
  ASSERT_TRUE(storage->GetInstallList("KEY", &found, &document, &read).ok());
  EXPECT_FALSE(found);

  ASSERT_TRUE(storage->PutInstallList("KEY", first_list).ok());
  ASSERT_TRUE(storage->FindLogin(id, &found, &key_name, &first).ok());
  now_ += 60;
  ASSERT_TRUE(storage->PutInstallList("OTHER", other_list).ok());
  ASSERT_TRUE(storage->GetInstallList("OTHER", &found, &document, &other).ok());
  now_ += 60;
  ASSERT_TRUE(storage->PutInstallList("KEY", second_list).ok());
  ASSERT_TRUE(storage->FindLogin(id, &found, &key_name, &second).ok());
  EXPECT_GT(first, 0);
  EXPECT_GT(other, first);
  EXPECT_GT(second, other);
  ASSERT_TRUE(storage->GetInstallList("KEY", &found, &document, &read).ok());
  EXPECT_TRUE(found);
  EXPECT_EQ(document, second_list);
  EXPECT_EQ(read, second);

  std::vector<InstallListRow> lists;
  // A store made for the generation a caller saw goes through only while
  // the list still is that one (0: none yet).
  const struct {
    const char* key_name;
    int64_t expected;
    bool stored;
  } conditional[] = {{"KEY", first, false}, {"KEY", 0, false}, {"NEW", second, false},
                     {"KEY", second, true},  {"NEW", 0, true}};
  for (const auto& row : conditional) {
    bool stored = !row.stored;
    ASSERT_TRUE(storage->PutInstallList(row.key_name, second_list, row.expected, &stored).ok());
    EXPECT_EQ(stored, row.stored) << row.key_name << " " << row.expected;
  }
  ASSERT_TRUE(storage->GetInstallList("KEY", &found, &document, &second).ok());
  ASSERT_TRUE(storage->GetInstallList("NEW", &found, &document, &read).ok());
  EXPECT_GT(read, second);
  ASSERT_TRUE(storage->ListInstallLists(&lists).ok());
  ASSERT_EQ(lists.size(), 3u);
  EXPECT_EQ(lists[1].key_name, "NEW");
  lists.erase(lists.begin() + 1);
  EXPECT_EQ(lists[0].key_name, "KEY");
  EXPECT_EQ(lists[0].generation, second);
  EXPECT_EQ(lists[0].updated, FormatUtcTime(1700000120));
  EXPECT_EQ(lists[0].records, 1);
  EXPECT_EQ(lists[1].key_name, "OTHER");
  EXPECT_EQ(lists[1].generation, other);
  EXPECT_EQ(lists[1].updated, FormatUtcTime(1700000060));
  EXPECT_EQ(lists[1].records, 2);
  // The history keeps the newest kInstallListHistoryDepth lists of each key
  // name: the first goes once that many came after it, OTHER's stays.
  for (int64_t i = 1; i < kInstallListHistoryDepth; ++i) {
    ASSERT_TRUE(storage->PutInstallList("KEY", "list " + std::to_string(i)).ok());
  }
  struct Kept {
    const char* key_name;
    int64_t generation;
    bool kept;
    std::string document;
  };
  for (const Kept& row : std::vector<Kept>{{"KEY", first, false, ""},
                                           {"KEY", second, true, second_list},
                                           {"OTHER", other, true, other_list},
                                           {"KEY", other, false, ""}}) {
    document.clear();
    ASSERT_TRUE(
        storage->GetInstallListHistory(row.key_name, row.generation, &found, &document).ok());
    EXPECT_EQ(found, row.kept) << row.key_name << " " << row.generation;
    EXPECT_EQ(document, row.document) << row.key_name << " " << row.generation;
  }
}

TEST_P(StorageTest, NotesComeNewestFirstWithTheirTextAsReceived) {
  auto storage = Make();
  std::string id;
  ASSERT_TRUE(storage->IssueLoginId("KEY", "ann", "", {}, &id).ok());
  ASSERT_TRUE(storage->AddLoginNote(id, "Has admin access = Yes\r\n").ok());
  now_ += 3600 * 24 + 61;
  ASSERT_TRUE(storage->AddLoginNote("id2", "second").ok());
  ASSERT_TRUE(storage->AddLoginNote("id2", std::string("third,\0same second", 18)).ok());

  std::vector<LoginNote> notes;
  ASSERT_TRUE(storage->ListLoginNotes(&notes).ok());
  ASSERT_EQ(notes.size(), 3u);
  EXPECT_EQ(notes[0].text, std::string("third,\0same second", 18));
  EXPECT_EQ(notes[1].text, "second");
  EXPECT_EQ(notes[2].login_id, id);
  EXPECT_EQ(notes[2].text, "Has admin access = Yes\r\n");
  EXPECT_EQ(notes[2].time, "2023-11-14T22:13:20Z");
  EXPECT_EQ(notes[1].time, "2023-11-15T22:14:21Z");
  // A note keeps the account of its login ID, also once the ID has gone.
  EXPECT_EQ(notes[2].key_name + "/" + notes[2].login, "KEY/ann");
  EXPECT_EQ(notes[1].key_name + "/" + notes[1].login, "/");

  // Pages of them: (offset, limit) -> the texts.
  for (const auto& [offset, limit, first, count] :
       std::vector<std::tuple<int64_t, int64_t, std::string, size_t>>{
           {0, 1, std::string("third,\0same second", 18), 1},
           {1, 5, "second", 2},
           {2, 1, "Has admin access = Yes\r\n", 1},
           {3, 10, "", 0}}) {
    ASSERT_TRUE(storage->ListLoginNotes(offset, limit, &notes).ok());
    ASSERT_EQ(notes.size(), count) << offset << "+" << limit;
    EXPECT_EQ(notes.empty() ? "" : notes[0].text, first) << offset << "+" << limit;
  }
}

// A client is its account: the logins record where it was last seen and
// count per day; its reports record the list generation it was given.
TEST_P(StorageTest, ClientsKeepTheirLastCallAndReport) {
  auto storage = Make();
  std::string ann, again, other;
  ASSERT_TRUE(storage->PutInstallList("KEY", "first").ok());
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(
        storage->IssueLoginId("KEY", "ann", "10.0.0.1", {"192.0.2.7", "agent 1"}, &ann).ok());
  }
  ASSERT_TRUE(storage->IssueLoginId("OTHER", "bob", "", {"192.0.2.9", "agent 9"}, &other).ok());
  ASSERT_TRUE(storage->AddLoginNote(ann, "report 1").ok());
  int64_t generation = 0;
  bool found = false;
  std::string key_name;
  ASSERT_TRUE(storage->FindLogin(ann, &found, &key_name, &generation).ok());
  const int64_t first_seen = now_;
  now_ += 86400;
  ASSERT_TRUE(storage->PutInstallList("KEY", "second").ok());
  ASSERT_TRUE(storage->IssueLoginId("KEY", "ann", "", {"192.0.2.8", "agent 2"}, &again).ok());

  std::vector<ClientRow> clients;
  ASSERT_TRUE(storage->ListClients("KEY", &clients).ok());
  ASSERT_EQ(clients.size(), 1u);
  const ClientRow& row = clients[0];
  EXPECT_EQ(row.login, "ann");
  EXPECT_EQ(row.first_seen, first_seen);
  EXPECT_EQ(row.last_seen, now_.load());
  EXPECT_EQ(row.last_address, "192.0.2.8");  // the caller's, not what the client says
  EXPECT_EQ(row.last_agent, "agent 2");
  EXPECT_EQ(row.last_report, "report 1");
  EXPECT_EQ(row.last_report_time, first_seen);
  EXPECT_EQ(row.last_generation, generation);  // the list current at the report
  ASSERT_TRUE(storage->ListClients("", &clients).ok());
  EXPECT_EQ(clients.size(), 2u);

  struct Days {
    const char* first_day;
    const char* key_name;
    std::vector<std::string> days;  // "day key_name logins"
  };
  for (const Days& query : std::vector<Days>{
           {"2023-11-14", "", {"2023-11-14 KEY 2", "2023-11-14 OTHER 1", "2023-11-15 KEY 1"}},
           {"2023-11-15", "", {"2023-11-15 KEY 1"}},
           {"2023-11-01", "OTHER", {"2023-11-14 OTHER 1"}}}) {
    std::vector<LoginDay> days;
    ASSERT_TRUE(storage->ListLoginDays(query.first_day, query.key_name, &days).ok());
    std::vector<std::string> read;
    for (const LoginDay& day : days) {
      read.push_back(day.day + " " + day.key_name + " " + std::to_string(day.logins));
    }
    EXPECT_EQ(read, query.days) << query.first_day << " " << query.key_name;
  }
}

TEST_P(StorageTest, OpensOnlyItsOwnDatabases) {
  std::unique_ptr<Storage> storage;
  Status status = Open(location_, Storage::Mode::kOpenExisting, &storage);
  EXPECT_EQ(status.code(), kErrorFileNotFound);
  EXPECT_NE(status.message().find("qvserver init"), std::string::npos) << status.ToString();

  // Another program's database: neither opened nor made over.
  const std::string other = NewLocation();
  Sql("CREATE TABLE t (x INTEGER)", other);
  status = Open(other, Storage::Mode::kOpenExisting, &storage);
  EXPECT_EQ(status.code(), kErrorInvalidData);
  EXPECT_NE(status.message().find("not a qvserver database"), std::string::npos)
      << status.ToString();
  EXPECT_EQ(Open(other, Storage::Mode::kCreate, &storage).code(), kErrorFileExists);
  EXPECT_EQ(storage, nullptr);
  if (sqlite()) {
    testing::WriteHostFile(dir_ + "/text.db", "just some text that is long enough to be a header");
    EXPECT_EQ(Open(dir_ + "/text.db", Storage::Mode::kOpenExisting, &storage).code(),
              kErrorInvalidData);
  }

  // kCreate refuses a current database; the made database opens again.
  Make();
  EXPECT_EQ(Open(location_, Storage::Mode::kCreate, &storage).code(), kErrorFileExists);
  status = Open(location_, Storage::Mode::kOpenExisting, &storage);
  EXPECT_TRUE(status.ok()) << status.ToString();
  EXPECT_NE(storage, nullptr);
}

// An older database is brought up to date by kCreate ("qvserver init")
// only; a newer one is refused by both.
TEST_P(StorageTest, MigratesAnOlderSchemaOnlyWhenAskedAndRefusesANewerOne) {
  std::string id;
  int64_t generation = 0;
  {
    auto older = Make();
    std::string document;
    bool found = false;
    ASSERT_TRUE(older->PutInstallList("KEY", "the list").ok());
    ASSERT_TRUE(older->GetInstallList("KEY", &found, &document, &generation).ok());
    ASSERT_TRUE(older->IssueLoginId("KEY", "ann", "", {}, &id).ok());
    ASSERT_TRUE(older->AddLoginNote(id, "note").ok());
  }
  // Version 1: before the login throttle's tables (2), the console's
  // accounts, its sessions and the users' disabled flag (3), and the
  // clients, the lists' history and the notes' accounts (4).
  for (const char* sql :
       {"DROP TABLE throttle_accounts", "DROP TABLE throttle_addresses", "DROP TABLE admins",
        "DROP TABLE console_sessions", "ALTER TABLE users DROP COLUMN disabled",
        "DROP TABLE clients", "DROP TABLE login_days", "DROP TABLE install_list_history",
        "ALTER TABLE login_notes DROP COLUMN key_name",
        "ALTER TABLE login_notes DROP COLUMN login"}) {
    Sql(sql);
  }
  SetVersion(1);
  std::unique_ptr<Storage> storage;
  Status status = Open(location_, Storage::Mode::kOpenExisting, &storage);
  EXPECT_EQ(status.code(), kErrorNotSupported);
  EXPECT_NE(status.message().find("qvserver init"), std::string::npos) << status.ToString();

  status = Open(location_, Storage::Mode::kCreate, &storage);
  ASSERT_TRUE(status.ok()) << status.ToString();
  // Step 4 gives the stored list a place in the history, and the notes of
  // login IDs still known their account.
  std::vector<LoginNote> notes;
  ASSERT_TRUE(storage->ListLoginNotes(&notes).ok());
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].key_name + "/" + notes[0].login, "KEY/ann");
  std::string kept;
  bool has_list = false;
  ASSERT_TRUE(storage->GetInstallListHistory("KEY", generation, &has_list, &kept).ok());
  EXPECT_EQ(kept, "the list");
  status =
      storage->ChangeThrottle("KEY", "ann", "a", 1, [](ThrottleEntry* account, ThrottleEntry*) {
        account->expires = 2;
        return true;
      });
  EXPECT_TRUE(status.ok()) << status.ToString();
  ASSERT_TRUE(storage->AddAdmin("root", "pw", false).ok());
  ASSERT_TRUE(storage->AddConsoleSession("hash", "root", "token", now_ + 10).ok());
  bool found = false;
  bool disabled = false;
  ConsoleSession session;
  ASSERT_TRUE(storage->FindConsoleSession("hash", &found, &session).ok());
  EXPECT_TRUE(found);
  EXPECT_EQ(session.csrf_token, "token");
  // A new password ends the account's sessions, and so does removing it.
  ASSERT_TRUE(storage->AddAdmin("root", "pw2", true).ok());
  ASSERT_TRUE(storage->FindConsoleSession("hash", &found, &session).ok());
  EXPECT_FALSE(found) << "a session outlives its admin's new password";
  ASSERT_TRUE(storage->AddConsoleSession("hash", "root", "token", now_ + 10).ok());
  for (bool existed : {true, false}) {
    ASSERT_TRUE(storage->RemoveAdmin("root", &found).ok());
    EXPECT_EQ(found, existed);
  }
  ASSERT_TRUE(storage->FindConsoleSession("hash", &found, &session).ok());
  EXPECT_FALSE(found) << "a session outlives its admin";
  ASSERT_TRUE(storage->AddUser("KEY", "ann", "pw", false).ok());
  ASSERT_TRUE(storage->SetUserDisabled("KEY", "ann", true, &disabled).ok());
  EXPECT_TRUE(disabled);
  ASSERT_TRUE(storage->CheckUser("KEY", "ann", "pw", &found).ok());
  EXPECT_FALSE(found) << "a disabled user logs in";
  EXPECT_TRUE(Open(location_, Storage::Mode::kOpenExisting, &storage).ok());

  SetVersion(99);
  for (Storage::Mode mode : {Storage::Mode::kOpenExisting, Storage::Mode::kCreate}) {
    status = Open(location_, mode, &storage);
    EXPECT_EQ(status.code(), kErrorNotSupported);
    EXPECT_NE(status.message().find("newer qvserver"), std::string::npos) << status.ToString();
  }
}

// Threads at once on each of two storages on the database (as the server's
// workers and another process would be): every call succeeds and every
// login ID is new; every change of a throttle entry sees the one before it.
// Expired throttle entries read as zeros and go.
TEST_P(StorageTest, ManyThreadsOfTwoProcessesLoseNoChange) {
  std::unique_ptr<Storage> storages[2] = {Make(), nullptr};
  ASSERT_TRUE(Open(location_, Storage::Mode::kOpenExisting, &storages[1]).ok());
  ASSERT_TRUE(storages[0]->PutInstallList("KEY", "the list").ok());
  const std::string login("an\0n", 4);  // stored as any key is
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  std::vector<std::set<std::string>> ids(8);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      Storage& storage = *storages[t % 2];
      for (int i = 0; i < 25; ++i) {
        std::string id, key_name, document;
        bool found = false, has_list = false;
        int64_t generation = 0;
        const Status status = storage.ChangeThrottle(
            "KEY", login, "192.0.2.7", 1000, [](ThrottleEntry* account, ThrottleEntry* address) {
              ++account->failures;
              account->expires = 5000;
              address->failures += 2;
              address->expires = 6000;
              return true;
            });
        if (!status.ok() || !storage.IssueLoginId("KEY", "ann", "", {}, &id).ok() ||
            !storage.FindLogin(id, &found, &key_name, &generation).ok() || !found ||
            !storage.GetInstallList(key_name, &has_list, &document, &generation).ok() ||
            document != "the list" || !storage.AddLoginNote(id, "note").ok()) {
          ++failures;
        }
        ids[t].insert(id);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  std::set<std::string> all;
  for (const auto& some : ids) all.insert(some.begin(), some.end());
  EXPECT_EQ(all.size(), 200u);
  std::vector<LoginNote> notes;
  ASSERT_TRUE(storages[1]->ListLoginNotes(&notes).ok());
  EXPECT_EQ(notes.size(), 200u);

  auto read = [&](int64_t now_ms, ThrottleEntry* account, ThrottleEntry* address) {
    const Status status = storages[0]->ChangeThrottle(
        "KEY", login, "192.0.2.7", now_ms, [&](ThrottleEntry* stored, ThrottleEntry* from) {
          *account = *stored;
          *address = *from;
          return false;
        });
    EXPECT_TRUE(status.ok()) << status.ToString();
  };
  ThrottleEntry account, address;
  read(4999, &account, &address);
  EXPECT_EQ(account.failures, 200);
  EXPECT_EQ(address.failures, 400);
  read(5000, &account, &address);
  EXPECT_EQ(account.failures, 0);
  EXPECT_EQ(address.failures, 400);
  read(6000, &account, &address);
  EXPECT_EQ(address.failures, 0);
  EXPECT_EQ(Sql("SELECT count(*) FROM throttle_accounts"), "0");
  EXPECT_EQ(Sql("SELECT count(*) FROM throttle_addresses"), "0");
}

}  // namespace
}  // namespace qv::server
