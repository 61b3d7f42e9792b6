// Test helpers of the server's tests: its database opened as the server
// opens it, the body of a business-object call as a client sends it, and a
// fixture with the server in this process on a free loopback port.
#ifndef QV_TESTS_SERVER_FIXTURE_H_
#define QV_TESTS_SERVER_FIXTURE_H_

#include <gtest/gtest.h>
#include <httplib.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "server/http_server.h"
#include "server/storage.h"
#include "tests/test_util.h"

namespace qv::testing {

// The server's database at path opened in mode; null, and the test
// failed, when it does not open.
inline std::unique_ptr<server::Storage> OpenStorage(
    const std::string& path, server::Storage::Mode mode = server::Storage::Mode::kOpenExisting) {
  server::StorageOptions options;
  options.path = path;
  std::unique_ptr<server::Storage> storage;
  const Status opened = server::Storage::Open(options, mode, &storage);
  EXPECT_TRUE(opened.ok()) << opened.ToString();
  return storage;
}

inline std::string BusinessCall(const std::string& object, const std::string& operation,
                                const nlohmann::json& arguments) {
  return nlohmann::json{{"object", object}, {"operation", operation}, {"arguments", arguments}}
      .dump();
}

// A new database in a temporary folder where the key name KEY has the user
// ann (password "pw"); Start serves it and makes client_ its client.
class LoopbackServerTest : public ::testing::Test {
 protected:
  explicit LoopbackServerTest(const std::string& prefix)
      : dir_(MakeTempDir(prefix)), db_path_(dir_ + "/server.db") {
    const auto storage = OpenStorage(db_path_, server::Storage::Mode::kCreate);
    EXPECT_TRUE(storage && storage->AddUser("KEY", "ann", "pw", false).ok());
  }
  ~LoopbackServerTest() override {
    server_.reset();
    RemoveTree(dir_);
  }

  void Start(server::ServerOptions options = {}) {
    options.db_path = db_path_;
    const Status started = server::Server::Start(options, &server_);
    ASSERT_TRUE(started.ok()) << started.ToString();
    client_ = std::make_unique<httplib::Client>(server_->base_url());
    client_->set_read_timeout(10, 0);
  }

  std::string dir_;
  std::string db_path_;
  std::unique_ptr<server::Server> server_;
  std::unique_ptr<httplib::Client> client_;
};

}  // namespace qv::testing

#endif  // QV_TESTS_SERVER_FIXTURE_H_
