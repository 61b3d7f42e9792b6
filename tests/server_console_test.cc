// The web console through the real server on a free loopback port: signing
// in, the session cookie, the form token every change needs, and users
// added, disabled and given new passwords there as the business calls see
// them.
#include <gtest/gtest.h>
#include <httplib.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "server/credentials.h"
#include "server/http_server.h"
#include "tests/test_authority.h"
#include "tests/test_util.h"

namespace qv::server {
namespace {

using Json = nlohmann::json;

class ConsoleTest : public ::testing::Test {
 protected:
  ConsoleTest() : dir_(testing::MakeTempDir("qvconsole")) {
    StorageOptions storage_options;
    storage_options.path = dir_ + "/server.db";
    std::unique_ptr<Storage> storage;
    Status status = Storage::Open(storage_options, Storage::Mode::kCreate, &storage);
    if (status.ok()) status = storage->AddAdmin("root", "admin pw", false);
    if (status.ok()) status = storage->AddUser("KEY", "ann", "pw", false);
    EXPECT_TRUE(status.ok()) << status.ToString();
  }
  ~ConsoleTest() override {
    server_.reset();
    testing::RemoveTree(dir_);
  }

  void Start(ServerOptions options = {}) {
    options.db_path = dir_ + "/server.db";
    const Status started = Server::Start(options, &server_);
    ASSERT_TRUE(started.ok()) << started.ToString();
    client_ = std::make_unique<httplib::Client>(server_->base_url());
    client_->set_read_timeout(10, 0);
  }

  httplib::Result Post(const std::string& path, const httplib::Params& form,
                       const std::string& cookie = "") {
    httplib::Headers headers;
    if (!cookie.empty()) headers.emplace("Cookie", "qvconsole=" + cookie);
    return client_->Post(path.c_str(), headers, form);
  }

  // Signs in as root: the session ID, and the form token of its pages.
  void SignIn(std::string* cookie, std::string* token) {
    auto res = Post("/console/login", {{"name", "root"}, {"password", "admin pw"}});
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 303);
    const std::string set = res->get_header_value("Set-Cookie");
    *cookie = set.substr(10, set.find(';') - 10);
    res = client_->Get("/console/users", {{"Cookie", "qvconsole=" + *cookie}});
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200);
    const std::string marker = "name=\"csrf\" value=\"";
    const size_t at = res->body.find(marker);
    ASSERT_NE(at, std::string::npos);
    *token = res->body.substr(at + marker.size(), 32);
  }

  // Whether the business call LoginUser accepts login and password.
  bool BusinessLogin(const std::string& login, const std::string& password) {
    const std::string body = Json{{"object", "QVBO_V2.Init"},
                                  {"operation", "LoginUser"},
                                  {"arguments", {"KEY", login, password, "192.0.2.7"}}}
                                 .dump();
    auto res = client_->Post("/", body, "application/json");
    return res && res->status == 200 &&
           Json::parse(res->body)["result"].get<std::string>().size() == 32;
  }

  bool HasUser(const std::string& login) {
    std::vector<UserRow> users;
    EXPECT_TRUE(server_->storage().ListUsers(&users).ok());
    for (const UserRow& user : users) {
      if (user.login == login) return true;
    }
    return false;
  }

  std::string dir_;
  std::unique_ptr<Server> server_;
  std::unique_ptr<httplib::Client> client_;
};

TEST_F(ConsoleTest, SignsInOnlyWithTheRightPasswordAndASafeCookie) {
  Start();
  struct Row {
    const char* name;
    const char* password;
    int status;
  };
  for (const Row& row : std::vector<Row>{{"root", "wrong", 401},
                                         {"nobody", "admin pw", 401},
                                         {"ann", "pw", 401},  // a client's user is no admin
                                         {"root", "admin pw", 303}}) {
    auto res = Post("/console/login", {{"name", row.name}, {"password", row.password}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, row.status) << row.name << "/" << row.password;
    EXPECT_EQ(res->has_header("Set-Cookie"), row.status == 303);
    if (row.status != 303) continue;
    EXPECT_EQ(res->get_header_value("Location"), "/console/users");
    const std::string cookie = res->get_header_value("Set-Cookie");
    for (const char* attribute :
         {"; HttpOnly", "; SameSite=Strict", "; Path=/console", "; Max-Age=28800"}) {
      EXPECT_NE(cookie.find(attribute), std::string::npos) << cookie;
    }
    EXPECT_EQ(cookie.find("Secure"), std::string::npos) << "plain HTTP: " << cookie;
    // The database knows the session by its ID's hash only.
    const std::string id = cookie.substr(10, 32);
    bool found = false;
    ConsoleSession session;
    ASSERT_TRUE(server_->storage().FindConsoleSession(TokenHash(id), &found, &session).ok());
    EXPECT_TRUE(found);
    EXPECT_EQ(session.admin, "root");
    ASSERT_TRUE(server_->storage().FindConsoleSession(id, &found, &session).ok());
    EXPECT_FALSE(found);
  }
}

TEST_F(ConsoleTest, TheCookieIsSecureOverTls) {
  testing::TestAuthority authority(dir_);
  const testing::TestAuthority::Issued issued = authority.Issue("local", "IP:127.0.0.1", 2);
  ServerOptions options;
  options.tls_cert = issued.cert;
  options.tls_key = issued.key;
  Start(options);
  client_->set_ca_cert_path(authority.ca_file());
  auto res = Post("/console/login", {{"name", "root"}, {"password", "admin pw"}});
  ASSERT_TRUE(res) << httplib::to_string(res.error());
  EXPECT_EQ(res->status, 303);
  EXPECT_NE(res->get_header_value("Set-Cookie").find("; Secure"), std::string::npos);
}

TEST_F(ConsoleTest, FailedSignInsAreThrottled) {
  ServerOptions options;
  options.throttle.account_free = 1;
  options.throttle.account_delay = std::chrono::minutes(1);
  Start(options);
  for (int status : {401, 401, 429}) {
    auto res = Post("/console/login",
                    {{"name", "root"}, {"password", status == 429 ? "admin pw" : "wrong"}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, status);
  }
}

TEST_F(ConsoleTest, PagesWithoutASessionSendToTheSignIn) {
  Start();
  for (const char* cookie : {"", "qvconsole=0123456789abcdef0123456789abcdef", "qvconsole=x"}) {
    for (const char* path : {"/console", "/console/users"}) {
      auto res = client_->Get(path, {{"Cookie", cookie}});
      ASSERT_TRUE(res);
      EXPECT_EQ(res->status, 303) << path << " " << cookie;
      EXPECT_EQ(res->get_header_value("Location"), "/console/login");
    }
  }
  auto res = client_->Get("/console/login");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_NE(res->body.find("action=\"/console/login\""), std::string::npos);
}

TEST_F(ConsoleTest, ChangesNeedTheSessionsTokenAndReachTheBusinessCalls) {
  Start();
  std::string cookie, token, other_cookie, other_token;
  SignIn(&cookie, &token);
  SignIn(&other_cookie, &other_token);
  ASSERT_NE(token, other_token);

  const httplib::Params bob = {{"key_name", "KEY"}, {"login", "bob"}, {"password", "bob pw"}};
  struct Refused {
    const char* what;
    std::string cookie;
    std::string token;
  };
  for (const Refused& row : std::vector<Refused>{{"no token", cookie, ""},
                                                 {"a wrong token", cookie, std::string(32, 'a')},
                                                 {"another session's token", cookie, other_token},
                                                 {"no session", "", token}}) {
    httplib::Params form = bob;
    if (!row.token.empty()) form.emplace("csrf", row.token);
    auto res = Post("/console/users/add", form, row.cookie);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403) << row.what;
    EXPECT_FALSE(HasUser("bob")) << row.what;
  }

  struct Change {
    const char* action;
    httplib::Params form;
    int status;
    bool old_password_works;  // "bob pw"
    bool new_password_works;  // "new pw"
  };
  const httplib::Params key = {{"key_name", "KEY"}, {"login", "bob"}};
  httplib::Params new_password = key;
  new_password.emplace("password", "new pw");
  for (const Change& row : std::vector<Change>{{"add", bob, 200, true, false},
                                               {"add", bob, 409, true, false},
                                               {"disable", key, 200, false, false},
                                               {"enable", key, 200, true, false},
                                               {"password", new_password, 200, false, true}}) {
    httplib::Params form = row.form;
    form.emplace("csrf", token);
    auto res = Post(std::string("/console/users/") + row.action, form, cookie);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, row.status) << row.action;
    EXPECT_EQ(BusinessLogin("bob", "bob pw"), row.old_password_works) << row.action;
    EXPECT_EQ(BusinessLogin("bob", "new pw"), row.new_password_works) << row.action;
  }
  // The page lists the users of the key name, with their state.
  auto res = client_->Get("/console/users", {{"Cookie", "qvconsole=" + cookie}});
  ASSERT_TRUE(res);
  EXPECT_NE(res->body.find("<td>bob</td>"), std::string::npos);
  EXPECT_NE(res->body.find("<td>ann</td>"), std::string::npos);
  EXPECT_TRUE(BusinessLogin("ann", "pw"));

  // Signing out ends the session; the other one lives on.
  res = Post("/console/logout", {{"csrf", token}}, cookie);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 303);
  res = client_->Get("/console/users", {{"Cookie", "qvconsole=" + cookie}});
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 303);
  res = client_->Get("/console/users", {{"Cookie", "qvconsole=" + other_cookie}});
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
}

}  // namespace
}  // namespace qv::server
