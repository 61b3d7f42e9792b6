// The server's database: password hashes, login IDs and their expiry, login
// notes, install lists, and which files it agrees to open.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "server/storage.h"
#include "tests/test_util.h"

namespace qv::server {
namespace {

class StorageTest : public ::testing::Test {
 protected:
  StorageTest() : dir_(testing::MakeTempDir("qvstorage")) {}
  ~StorageTest() override { testing::RemoveTree(dir_); }

  std::unique_ptr<Storage> Make(int64_t ttl = kDefaultLoginTtlSeconds) {
    StorageOptions options;
    options.path = dir_ + "/server.db";
    options.login_ttl_seconds = ttl;
    options.clock = [this] { return now_.load(); };
    std::unique_ptr<Storage> storage;
    const Status opened = Storage::Open(options, Storage::Mode::kCreate, &storage);
    EXPECT_TRUE(opened.ok()) << opened.ToString();
    return storage;
  }

  std::string dir_;
  std::atomic<int64_t> now_{1700000000};
};

TEST_F(StorageTest, KeepsOnlyASlowHashAndChecksPasswords) {
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
           {"key", "ann", "s3cret pass"}}) {
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

  // What the file holds is an Argon2id hash, not the password.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir_ + "/server.db").c_str(), &db), SQLITE_OK);
  sqlite3_stmt* statement = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT password_hash FROM users", -1, &statement, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
  const std::string hash = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
  sqlite3_finalize(statement);
  sqlite3_close(db);
  EXPECT_EQ(hash.rfind("$argon2id$", 0), 0u) << hash;
  EXPECT_EQ(hash.find("other"), std::string::npos);
}

TEST_F(StorageTest, LoginIdsAreRandomAndExpire) {
  auto storage = Make(/*ttl=*/60);
  std::string first, second, key_name;
  ASSERT_TRUE(storage->IssueLoginId("KEY", "ann", "192.0.2.7", &first).ok());
  ASSERT_TRUE(storage->IssueLoginId("KEY", "ann", "192.0.2.7", &second).ok());
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
  ASSERT_TRUE(
      storage->FindLogin("0123456789abcdef0123456789abcdef", &found, &key_name, &generation).ok());
  EXPECT_FALSE(found);

  now_ += 1;
  ASSERT_TRUE(storage->FindLogin(first, &found, &key_name, &generation).ok());
  EXPECT_FALSE(found);
  ASSERT_TRUE(storage->FindLogin(second, &found, &key_name, &generation).ok());
  EXPECT_FALSE(found);
}

TEST_F(StorageTest, EveryStoredListHasANewerGeneration) {
  auto storage = Make();
  std::string id, key_name, document;
  ASSERT_TRUE(storage->IssueLoginId("KEY", "ann", "", &id).ok());
  bool found = false;
  int64_t first = 0, other = 0, second = 0, read = 0;
  ASSERT_TRUE(storage->GetInstallList("KEY", &found, &document, &read).ok());
  EXPECT_FALSE(found);

  ASSERT_TRUE(storage->PutInstallList("KEY", "first").ok());
  ASSERT_TRUE(storage->FindLogin(id, &found, &key_name, &first).ok());
  ASSERT_TRUE(storage->PutInstallList("OTHER", "other").ok());
  ASSERT_TRUE(storage->GetInstallList("OTHER", &found, &document, &other).ok());
  ASSERT_TRUE(storage->PutInstallList("KEY", "second").ok());
  ASSERT_TRUE(storage->FindLogin(id, &found, &key_name, &second).ok());
  EXPECT_GT(first, 0);
  EXPECT_GT(other, first);
  EXPECT_GT(second, other);
  ASSERT_TRUE(storage->GetInstallList("KEY", &found, &document, &read).ok());
  EXPECT_TRUE(found);
  EXPECT_EQ(document, "second");
  EXPECT_EQ(read, second);
}

TEST_F(StorageTest, NotesComeNewestFirstWithTheirTextAsReceived) {
  auto storage = Make();
  ASSERT_TRUE(storage->AddLoginNote("id1", "Has admin access = Yes\r\n").ok());
  now_ += 3600 * 24 + 61;
  ASSERT_TRUE(storage->AddLoginNote("id2", "second").ok());
  ASSERT_TRUE(storage->AddLoginNote("id2", "third, same second").ok());

  std::vector<LoginNote> notes;
  ASSERT_TRUE(storage->ListLoginNotes(&notes).ok());
  ASSERT_EQ(notes.size(), 3u);
  EXPECT_EQ(notes[0].text, "third, same second");
  EXPECT_EQ(notes[1].text, "second");
  EXPECT_EQ(notes[2].login_id, "id1");
  EXPECT_EQ(notes[2].text, "Has admin access = Yes\r\n");
  EXPECT_EQ(notes[2].time, "2023-11-14T22:13:20Z");
  EXPECT_EQ(notes[1].time, "2023-11-15T22:14:21Z");
}

TEST_F(StorageTest, OpensOnlyItsOwnDatabases) {
  std::unique_ptr<Storage> storage;
  StorageOptions options;
  options.path = dir_ + "/missing.db";
  Status status = Storage::Open(options, Storage::Mode::kOpenExisting, &storage);
  EXPECT_EQ(status.code(), kErrorFileNotFound);
  EXPECT_NE(status.message().find("qvserver init"), std::string::npos) << status.ToString();

  // Another program's SQLite file, and a file that is not a database.
  options.path = dir_ + "/other.db";
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(options.path.c_str(), &db), SQLITE_OK);
  sqlite3_exec(db, "CREATE TABLE t (x)", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  status = Storage::Open(options, Storage::Mode::kOpenExisting, &storage);
  EXPECT_EQ(status.code(), kErrorInvalidData);
  EXPECT_NE(status.message().find("not a qvserver database"), std::string::npos)
      << status.ToString();
  testing::WriteHostFile(dir_ + "/text.db", "just some text that is long enough to be a header");
  options.path = dir_ + "/text.db";
  EXPECT_EQ(Storage::Open(options, Storage::Mode::kOpenExisting, &storage).code(),
            kErrorInvalidData);

  // kCreate refuses a file with contents; the made database opens again.
  options.path = dir_ + "/other.db";
  EXPECT_EQ(Storage::Open(options, Storage::Mode::kCreate, &storage).code(), kErrorFileExists);
  EXPECT_EQ(storage, nullptr);
  Make();
  options.path = dir_ + "/server.db";
  status = Storage::Open(options, Storage::Mode::kOpenExisting, &storage);
  EXPECT_TRUE(status.ok()) << status.ToString();
  EXPECT_NE(storage, nullptr);
}

TEST_F(StorageTest, ServesManyThreadsAtOnce) {
  auto storage = Make();
  ASSERT_TRUE(storage->PutInstallList("KEY", "the list").ok());
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  std::vector<std::set<std::string>> ids(8);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        std::string id, key_name, document;
        bool found = false, has_list = false;
        int64_t generation = 0;
        if (!storage->IssueLoginId("KEY", "ann", "", &id).ok() ||
            !storage->FindLogin(id, &found, &key_name, &generation).ok() || !found ||
            !storage->GetInstallList(key_name, &has_list, &document, &generation).ok() ||
            document != "the list" || !storage->AddLoginNote(id, "note").ok()) {
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
  ASSERT_TRUE(storage->ListLoginNotes(&notes).ok());
  EXPECT_EQ(notes.size(), 200u);
}

}  // namespace
}  // namespace qv::server
