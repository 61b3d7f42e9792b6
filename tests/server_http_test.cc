// The HTTP server in-process on a free loopback port: files by GET with
// their length, missing and refused paths, the built-in prelude files, and
// business-object calls by POST.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <string>

#include "server/http_server.h"
#include "server/prelude_files.h"
#include "tests/test_util.h"

namespace qv::server {
namespace {

using Json = nlohmann::json;

class HttpServerTest : public ::testing::Test {
 protected:
  HttpServerTest() : dir_(testing::MakeTempDir("qvhttp")) {
    StorageOptions storage_options;
    storage_options.path = dir_ + "/server.db";
    std::string error;
    auto storage = Storage::Open(storage_options, Storage::Mode::kCreate, &error);
    EXPECT_TRUE(storage != nullptr && storage->AddUser("KEY", "ann", "pw", false, &error)) << error;
    ::mkdir((dir_ + "/files").c_str(), 0755);
    ::mkdir((dir_ + "/files/sub").c_str(), 0755);
    testing::WriteHostFile(dir_ + "/outside.txt", "not for clients");
  }
  ~HttpServerTest() override {
    server_.reset();
    testing::RemoveTree(dir_);
  }

  void Start() {
    ServerOptions options;
    options.db_path = dir_ + "/server.db";
    options.files_dir = dir_ + "/files";
    std::string error;
    server_ = Server::Start(options, &error);
    ASSERT_NE(server_, nullptr) << error;
    ASSERT_GT(server_->port(), 0);
    client_ = std::make_unique<httplib::Client>("127.0.0.1", server_->port());
  }

  std::string dir_;
  std::unique_ptr<Server> server_;
  std::unique_ptr<httplib::Client> client_;
};

TEST_F(HttpServerTest, ServesFilesWithTheirLength) {
  std::string big(3 * 1024 * 1024 + 17, '\0');
  std::mt19937 random(7);
  for (char& c : big) c = static_cast<char>(random());
  testing::WriteHostFile(dir_ + "/files/sub/big.bin", big);
  testing::WriteHostFile(dir_ + "/files/empty.txt", "");
  Start();
  EXPECT_EQ(server_->base_url(), "http://127.0.0.1:" + std::to_string(server_->port()));

  auto res = client_->Get("/sub/big.bin");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->get_header_value("Content-Length"), std::to_string(big.size()));
  EXPECT_TRUE(res->body == big);

  // A range inside the file is honoured; one beyond its end is ignored.
  res = client_->Get("/sub/big.bin", {{"Range", "bytes=1000-1009"}});
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 206);
  EXPECT_EQ(res->body, big.substr(1000, 10));
  res = client_->Get("/sub/big.bin", {{"Range", "bytes=" + std::to_string(big.size()) + "-"}});
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->body.size(), big.size());

  res = client_->Get("/empty.txt");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->get_header_value("Content-Length"), "0");

  res = client_->Get("/sub/missing.bin");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 404);
  res = client_->Get("/sub");  // a folder is no file
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 404);
}

TEST_F(HttpServerTest, NeverServesAnythingOutsideTheFilesFolder) {
  ASSERT_EQ(::symlink((dir_ + "/outside.txt").c_str(), (dir_ + "/files/link.txt").c_str()), 0);
  ASSERT_EQ(::symlink((dir_ + "/files/sub").c_str(), (dir_ + "/files/inner").c_str()), 0);
  testing::WriteHostFile(dir_ + "/files/sub/ok.txt", "ok");
  Start();
  for (const char* path :
       {"/../outside.txt", "/sub/../../outside.txt", "/sub/%2e%2e/%2E%2E/outside.txt",
        "//etc/passwd", "/sub/..", "/sub\\..\\..\\outside.txt"}) {
    auto res = client_->Get(path);
    ASSERT_TRUE(res) << path;
    EXPECT_EQ(res->status, 400) << path;
    EXPECT_EQ(res->body.find("not for clients"), std::string::npos);
  }
  auto res = client_->Get("/link.txt");  // a link that leads out counts as missing
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 404);
  res = client_->Get("/inner/ok.txt");  // one that stays inside is followed
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->body, "ok");
}

TEST_F(HttpServerTest, PreludeFilesComeFromTheFolderOrAreBuiltIn) {
  Start();
  auto page = client_->Get(kSetupPagePath);
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("<html>"), std::string::npos);
  auto cabinet = client_->Get(kLocalCabinetPath);
  ASSERT_TRUE(cabinet);
  EXPECT_EQ(cabinet->status, 200);
  EXPECT_EQ(cabinet->body.substr(0, 4), "MSCF");
  EXPECT_EQ(cabinet->get_header_value("Content-Length"), std::to_string(cabinet->body.size()));
  EXPECT_EQ(client_->Get("/installs/SETUP.HTML")->status, 404);

  ::mkdir((dir_ + "/files/installs").c_str(), 0755);
  testing::WriteHostFile(dir_ + "/files/installs/setup.html", "our own page");
  page = client_->Get(kSetupPagePath);
  ASSERT_TRUE(page);
  EXPECT_EQ(page->body, "our own page");
}

TEST_F(HttpServerTest, PostsAreBusinessObjectCallsWithTheDispatchersStatus) {
  Start();
  const auto post = [this](const std::string& body, int status) {
    auto res = client_->Post("/some/path", body, "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, status);
    EXPECT_EQ(res->get_header_value("Content-Length"), std::to_string(res->body.size()));
    EXPECT_TRUE(Json::parse(res->body).contains(status == 200 ? "result" : "error")) << res->body;
  };
  post(Json{{"object", "QVBO_V2.Init"},
            {"operation", "LoginUser"},
            {"arguments", {"KEY", "ann", "pw", "192.0.2.7"}}}
           .dump(),
       200);
  post("{not json", 400);
  post(Json{{"object", "QVBO_V2.Init"},
            {"operation", "WriteLoginNotes"},
            {"arguments", {"id", std::string(1024 * 1024, 'x')}}}
           .dump(),
       413);
  std::vector<LoginNote> notes;
  std::string error;
  ASSERT_TRUE(server_->storage().ListLoginNotes(&notes, &error));
  EXPECT_TRUE(notes.empty());
}

TEST_F(HttpServerTest, RefusesAFilesFolderThatIsNotThere) {
  ServerOptions options;
  options.db_path = dir_ + "/server.db";
  options.files_dir = dir_ + "/nowhere";
  std::string error;
  EXPECT_EQ(Server::Start(options, &error), nullptr);
  EXPECT_NE(error.find("nowhere"), std::string::npos) << error;
}

}  // namespace
}  // namespace qv::server
