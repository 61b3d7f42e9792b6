// The qvserver command line: the database tools, publish, and serve started
// as a separate process that says where it listens and stops on SIGTERM.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "installlist/install_list.h"
#include "platform/recordset.h"
#include "server/sample_catalog.h"
#include "server/storage.h"
#include "tests/child_process.h"
#include "tests/postgres_server.h"
#include "tests/server_fixture.h"
#include "tests/test_util.h"

namespace qv::server {
namespace {

using testing::QvserverPath;
using testing::RunCommand;

class QvserverCliTest : public ::testing::Test {
 protected:
  QvserverCliTest() : dir_(testing::MakeTempDir("qvcli")), db_(dir_ + "/server.db") {}
  ~QvserverCliTest() override { testing::RemoveTree(dir_); }

  testing::CommandResult Run(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), QvserverPath());
    return RunCommand(args, input);
  }

  std::string dir_;
  std::string db_;
};

std::string SampleList() {
  Recordset list = NewInstallList();
  InstallRecord record;
  record.sequence_id = 3;
  record.file_name = "x.dll";
  record.download_location = "lib/x.dll.cmp";
  record.install_type = 2;
  record.file_version = "1.0.0.1";
  record.install_location = "CLIENTDIR";
  record.is_compressed = true;
  AppendInstallRecord(&list, record);
  return list.ToJson();
}

TEST_F(QvserverCliTest, InitUsersAndListsRoundTrip) {
  EXPECT_EQ(Run({"init", db_}).exit_code, 0);
  auto again = Run({"init", db_});
  EXPECT_EQ(again.exit_code, 1);
  EXPECT_NE(again.err.find("exists"), std::string::npos);

  EXPECT_EQ(Run({"user", "add", db_, "KEY", "ann"}, "pass word\nignored\n").exit_code, 0);
  EXPECT_EQ(Run({"user", "add", db_, "KEY", "bob"}, "").exit_code, 1);
  EXPECT_EQ(Run({"user", "add", db_, "KEY", "ann"}, "other\n").exit_code, 1);
  EXPECT_EQ(Run({"user", "add", db_, "KEY", "ann", "--replace"}, "new pass\r\n").exit_code, 0);
  EXPECT_EQ(Run({"admin", "add", db_, "root"}, "admin pw\n").exit_code, 0);
  EXPECT_EQ(Run({"admin", "add", db_, "root"}, "other\n").exit_code, 1);
  {
    const auto storage = testing::OpenStorage(db_);
    ASSERT_NE(storage, nullptr);
    bool valid = false;
    ASSERT_TRUE(storage->CheckUser("KEY", "ann", "new pass", &valid).ok());
    EXPECT_TRUE(valid);
    ASSERT_TRUE(storage->CheckAdmin("root", "admin pw", &valid).ok());
    EXPECT_TRUE(valid);
  }
  EXPECT_EQ(Run({"admin", "remove", db_, "root"}).exit_code, 0);
  const auto again_removed = Run({"admin", "remove", "--db", db_, "root"});
  EXPECT_EQ(again_removed.exit_code, 1);
  EXPECT_NE(again_removed.err.find("no admin \"root\""), std::string::npos) << again_removed.err;

  const std::string in = dir_ + "/in.rst", out = dir_ + "/out.rst";
  testing::WriteHostFile(in, SampleList());
  EXPECT_EQ(Run({"list", "export", db_, "KEY", out}).exit_code, 1);  // none yet
  EXPECT_EQ(Run({"list", "import", db_, "KEY", in}).exit_code, 0);
  EXPECT_EQ(Run({"list", "export", db_, "KEY", out}).exit_code, 0);
  Recordset original, exported;
  ASSERT_TRUE(original.ParseJson(SampleList()).ok());
  ASSERT_TRUE(exported.ParseJson(testing::ReadHostFile(out)).ok());
  EXPECT_EQ(exported.ToJson(), original.ToJson());

  // Documents that are not install lists are refused and change nothing.
  for (const std::string& bad :
       {std::string("{\"format\": \"qv-installlist\", \"version\": 2, \"fields\": [], "
                    "\"records\": []}"),
        std::string("{\"format\": \"qv-installlist\", \"version\": 1, \"fields\": "
                    "[{\"name\": \"FileName\", \"type\": \"string\"}], \"records\": []}"),
        std::string("not json")}) {
    testing::WriteHostFile(in, bad);
    const auto result = Run({"list", "import", db_, "KEY", in});
    EXPECT_EQ(result.exit_code, 1) << bad;
    EXPECT_FALSE(result.err.empty());
  }
  EXPECT_EQ(Run({"list", "export", db_, "KEY", out}).exit_code, 0);
  EXPECT_EQ(testing::ReadHostFile(out), original.ToJson());

  EXPECT_EQ(Run({"list", "import", db_, "KEY"}).exit_code, 2);
  EXPECT_EQ(Run({"frobnicate"}).exit_code, 2);
  EXPECT_EQ(Run({"serve", db_, "--listen", "nonsense"}).exit_code, 2);
  EXPECT_EQ(Run({"user", "add", dir_ + "/missing.db", "KEY", "x"}, "pw\n").exit_code, 1);
  EXPECT_EQ(Run({"serve", dir_ + "/missing.db"}).exit_code, 1);
}

// The demo's catalog, put into a database by the commands an operator uses,
// is the one the demo makes itself.
TEST_F(QvserverCliTest, SampleFillsAnyDatabaseWithTheDemoCatalog) {
  const std::string trial = dir_ + "/trial";
  const testing::CommandResult sample = Run({"sample", trial});
  ASSERT_EQ(sample.exit_code, 0) << sample.err;
  EXPECT_EQ(Run({"sample", trial}).exit_code, 1);
  SampleCatalog demo;
  ASSERT_TRUE(WriteSampleCatalog(dir_ + "/demo", &demo).ok());
  EXPECT_EQ(sample.out, demo.key_name + " " + demo.login + " " + demo.password + "\n");
  EXPECT_EQ(testing::HostTree(trial + "/files"), testing::HostTree(demo.files_dir));

  ASSERT_EQ(Run({"init", db_}).exit_code, 0);
  ASSERT_EQ(Run({"user", "add", db_, demo.key_name, demo.login}, demo.password + "\n").exit_code,
            0);
  ASSERT_EQ(Run({"list", "import", db_, demo.key_name, trial + "/installlist.rst"}).exit_code, 0);
  ASSERT_EQ(Run({"list", "export", db_, demo.key_name, dir_ + "/ours.rst"}).exit_code, 0);
  ASSERT_EQ(Run({"list", "export", demo.db_path, demo.key_name, dir_ + "/demo.rst"}).exit_code, 0);
  EXPECT_EQ(testing::ReadHostFile(dir_ + "/ours.rst"), testing::ReadHostFile(dir_ + "/demo.rst"));
}

TEST_F(QvserverCliTest, NotesArePrintedNewestFirstAsJsonLines) {
  ASSERT_EQ(Run({"init", db_}).exit_code, 0);
  {
    const auto storage = testing::OpenStorage(db_);
    ASSERT_NE(storage, nullptr);
    ASSERT_TRUE(storage->AddLoginNote("id1", "first\r\n").ok());
    ASSERT_TRUE(storage->AddLoginNote("id2", "second \"quoted\"").ok());
  }
  const auto result = Run({"notes", db_});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  std::vector<nlohmann::json> lines;
  size_t start = 0;
  for (size_t end; (end = result.out.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(nlohmann::json::parse(result.out.substr(start, end - start)));
  }
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["login_id"], "id2");
  EXPECT_EQ(lines[0]["text"], "second \"quoted\"");
  EXPECT_EQ(lines[1]["text"], "first\r\n");
  // ISO 8601 in UTC: "2024-05-01T12:34:56Z".
  EXPECT_THAT(lines[1]["time"].get<std::string>(),
              ::testing::MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z"));
}

TEST_F(QvserverCliTest, PublishCopiesOrPacksBelowTheFilesFolder) {
  const std::string files = dir_ + "/files", file = dir_ + "/tool.exe";
  ::mkdir(files.c_str(), 0755);
  testing::WriteHostFile(file, "#!/bin/sh\nexit 0\n");
  ::chmod(file.c_str(), 0755);

  auto result = Run({"publish", db_, files, file});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "tool.exe\n");
  EXPECT_EQ(testing::ReadHostFile(files + "/tool.exe"), "#!/bin/sh\nexit 0\n");
  EXPECT_EQ(::access((files + "/tool.exe").c_str(), X_OK), 0);

  result = Run({"publish", db_, files, file, "--as", "bin/setup/t.exe", "--compress"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "bin/setup/t.exe.cmp\n");
  const std::string cabinet = testing::ReadHostFile(files + "/bin/setup/t.exe.cmp");
  EXPECT_EQ(cabinet.substr(0, 4), "MSCF");
  EXPECT_NE(cabinet.find("tool.exe"), std::string::npos);  // the entry keeps the file's name

  for (const char* relative : {"../escape.exe", "/abs.exe", "a//b.exe", "a\\..\\b.exe", "a/./b"}) {
    result = Run({"publish", db_, files, file, "--as", relative});
    EXPECT_EQ(result.exit_code, 1) << relative;
  }
  EXPECT_FALSE(testing::HostExists(dir_ + "/escape.exe"));
}

// The digest and size of the file as served (the archive of a compressed
// record), checked against coreutils' sha256sum.
TEST_F(QvserverCliTest, ImportAndPublishFillInTheServedFilesDigestAndSize) {
  const std::string files = dir_ + "/files", file = dir_ + "/x.dll", list = dir_ + "/list.rst";
  ::mkdir(files.c_str(), 0755);
  testing::WriteHostFile(file, std::string(100000, 'x'));
  testing::WriteHostFile(list, SampleList());
  ASSERT_EQ(Run({"init", db_}).exit_code, 0);
  ASSERT_EQ(Run({"list", "import", db_, "KEY", list}).exit_code, 0);
  auto stated = [&] {
    const std::string out = dir_ + "/out.rst";
    EXPECT_EQ(Run({"list", "export", db_, "KEY", out}).exit_code, 0);
    Recordset exported;
    EXPECT_TRUE(exported.ParseJson(testing::ReadHostFile(out)).ok());
    return exported.Field(kFieldFileSHA256).ToText() + " " +
           exported.Field(kFieldFileSize).ToText();
  };
  auto served = [&] {
    const std::string path = files + "/lib/x.dll.cmp";
    const std::string sum = RunCommand({"sha256sum", path}).out;
    return sum.substr(0, 64) + " " + std::to_string(testing::ReadHostFile(path).size());
  };
  EXPECT_EQ(stated(), " ");  // nothing stated before a publish

  // publish --list: the records naming the published file; none is an error.
  auto result =
      Run({"publish", db_, files, file, "--as", "lib/x.dll", "--compress", "--list", "KEY"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(stated(), served());
  result = Run({"publish", db_, files, file, "--as", "other.dll", "--list", "KEY"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.err, ::testing::HasSubstr("names other.dll"));

  // import --files: a changed file, and a list imported afresh.
  testing::WriteHostFile(file, "changed");
  ASSERT_EQ(Run({"pack", file, files + "/lib/x.dll.cmp"}).exit_code, 0);
  ASSERT_EQ(Run({"list", "import", db_, "KEY", list, "--files", files}).exit_code, 0);
  EXPECT_EQ(stated(), served());
}

enum class Store { kSqlite, kPostgres };

class QvserverServeTest : public QvserverCliTest, public ::testing::WithParamInterface<Store> {};

INSTANTIATE_TEST_SUITE_P(Stores, QvserverServeTest,
                         ::testing::Values(Store::kSqlite, Store::kPostgres),
                         [](const ::testing::TestParamInfo<Store>& info) {
                           return info.param == Store::kSqlite ? "Sqlite" : "Postgres";
                         });

// The commands on either store (PostgreSQL's named by a URL), the database
// given as an argument or by --db; serve says where it listens, serves files
// and logins, and stops on SIGTERM and on SIGINT.
TEST_P(QvserverServeTest, ServesFilesAndLoginsAndStopsOnSignals) {
  std::unique_ptr<testing::PostgresDatabase> postgres;
  std::string db = db_;
  if (GetParam() == Store::kPostgres) {
    postgres = std::make_unique<testing::PostgresDatabase>();
    db = postgres->url();
    ASSERT_FALSE(db.empty());
  }
  ASSERT_EQ(Run({"init", db}).exit_code, 0);
  EXPECT_EQ(Run({"init", "--db", db}).exit_code, 1);  // current already
  ASSERT_EQ(Run({"user", "add", "--db", db, "KEY", "ann"}, "pw\n").exit_code, 0);
  testing::WriteHostFile(dir_ + "/in.rst", SampleList());
  ASSERT_EQ(Run({"list", "import", db, "KEY", dir_ + "/in.rst"}).exit_code, 0);
  ::mkdir((dir_ + "/files").c_str(), 0755);
  testing::WriteHostFile(dir_ + "/files/a.txt", "served");

  for (int signal_number : {SIGTERM, SIGINT}) {
    testing::Child serve({QvserverPath(), "serve", "--db=" + db, "--files", dir_ + "/files",
                          "--listen", "127.0.0.1:0", "--login-ttl", "120"},
                         {}, /*stdout_pipe=*/true);
    const std::string base = serve.ListeningAddress();
    ASSERT_EQ(base.rfind("http://127.0.0.1:", 0), 0u) << base;
    httplib::Client client(base);
    auto res = client.Get("/a.txt");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, "served");
    auto call = [&](const std::string& operation, const nlohmann::json& arguments) {
      res = client.Post("/", testing::BusinessCall("QVBOGeneral_V3.Init", operation, arguments),
                        "application/json");
      return res ? nlohmann::json::parse(res->body)["result"] : nlohmann::json();
    };
    const nlohmann::json id = call("LoginUser", {"KEY", "ann", "pw", ""});
    ASSERT_TRUE(id.is_string() && id.get<std::string>().size() == 32) << id;
    EXPECT_THAT(call("GetInstallFiles", {id.get<std::string>()}).dump(),
                ::testing::HasSubstr("x.dll"));
    serve.Signal(signal_number);
    EXPECT_EQ(serve.Wait(), 0);
  }
}

}  // namespace
}  // namespace qv::server
