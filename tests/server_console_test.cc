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

#include "installlist/install_list.h"
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

  // The result of a business call sent with the User-Agent agent; null
  // when it failed.
  Json Business(const std::string& operation, const std::vector<std::string>& arguments,
                const std::string& agent = "") {
    const std::string body =
        Json{{"object", "QVBO_V2.Init"}, {"operation", operation}, {"arguments", arguments}}.dump();
    httplib::Headers headers;
    if (!agent.empty()) headers.emplace("User-Agent", agent);
    auto res = client_->Post("/", headers, body, "application/json");
    if (!res || res->status != 200) return nullptr;
    return Json::parse(res->body).value("result", Json());
  }

  // Whether the business call LoginUser accepts login and password.
  bool BusinessLogin(const std::string& login, const std::string& password) {
    const Json id = Business("LoginUser", {"KEY", login, password, "192.0.2.7"});
    return id.is_string() && id.get<std::string>().size() == 32;
  }

  std::string Page(const std::string& path, const std::string& cookie) {
    auto res = client_->Get(path, {{"Cookie", "qvconsole=" + cookie}});
    EXPECT_TRUE(res && res->status == 200) << path;
    return res ? res->body : "";
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
    for (const char* path : {"/console", "/console/users", "/console/fleet", "/console/notes"}) {
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

// The control's report, as it sends it with WriteLoginNotes.
std::string Report(const char* total_physical, const char* available_physical, const char* load,
                   const char* admin) {
  return std::string("Available Page File = 100\r\nAvailable Physical Memory = ") +
         available_physical + "\r\nAvailable Virtual Memory = 100\r\nMemory Load = %" + load +
         "\r\nTotal Page File = 100\r\nTotal Physical Memory = " + total_physical +
         "\r\nTotal Virtual Memory = 100\r\nHas admin access = " + admin + "\r\n";
}

// Clients that log in with the transports' User-Agent, are given a list and
// report: the fleet page shows each one's figures, its Windows version and
// the versions it was given, also after a newer list came; the notes page
// shows their reports escaped.
TEST_F(ConsoleTest, FleetShowsWhatEachClientReportedAndWasGiven) {
  Start();
  Storage& storage = server_->storage();
  for (const char* login : {"bob", "cy"})
    ASSERT_TRUE(storage.AddUser("KEY", login, "pw", false).ok());
  auto import = [&](const char* version) {
    Recordset list = NewInstallList();
    InstallRecord record;
    record.sequence_id = 1;
    record.file_name = "client.exe";
    record.download_location = "bin/client.exe";
    record.install_type = 2;
    record.file_version = version;
    ASSERT_TRUE(AppendInstallRecord(&list, record).ok());
    ASSERT_TRUE(storage.PutInstallList("KEY", list.ToJson()).ok());
  };
  struct Client {
    const char* login;
    const char* agent;
    std::string report;
    std::vector<std::string> shown;  // in the client's row of the fleet table
  };
  const std::vector<Client> clients = {
      {"ann",
       "qv/3.00.0148 (Windows NT 6.1)",
       Report("2147483647", "1048576", "37", "Yes"),
       {"Windows 7 (NT 6.1)", ">2047 MiB<", ">1 MiB<", ">37%<", ">Yes<", "1.0.0.1<",
        "since replaced"}},
      // A figure of 2^31 bytes or more arrives negative.
      {"bob",
       "qv/3.00.0148 (Windows 4.10)",
       Report("-1073741824", "-2147483648", "90", "No"),
       {"Windows 98 (4.10)", ">3072 MiB<", ">2048 MiB<", ">90%<", ">No<", "1.0.0.2<", "current"}},
      {"cy", "curl/8.0", "<b>not a report</b> & more\r\n", {">curl/8.0<", "1.0.0.2<"}},
  };
  import("1.0.0.1");
  for (const Client& client : clients) {
    if (std::string(client.login) == "bob") import("1.0.0.2");
    const Json login_id =
        Business("LoginUser", {"KEY", client.login, "pw", "10.1.1.1"}, client.agent);
    ASSERT_TRUE(login_id.is_string()) << client.login;
    const std::string id = login_id.get<std::string>();
    ASSERT_TRUE(Business("GetInstallFiles", {id}, client.agent).is_object()) << client.login;
    ASSERT_TRUE(Business("WriteLoginNotes", {id, client.report}, client.agent).is_null());
  }

  std::string cookie, token;
  SignIn(&cookie, &token);
  const std::string fleet = Page("/console/fleet", cookie);
  const size_t table = fleet.find("<table id=\"fleet\">");
  ASSERT_NE(table, std::string::npos) << fleet;
  for (const Client& client : clients) {
    const size_t row = fleet.find("<td>" + std::string(client.login) + "</td>", table);
    ASSERT_NE(row, std::string::npos) << client.login;
    const std::string cells = fleet.substr(row, fleet.find("</tr>", row) - row);
    EXPECT_NE(cells.find("127.0.0.1"), std::string::npos) << cells;  // the caller, as seen
    for (const std::string& shown : client.shown) {
      EXPECT_NE(cells.find(shown), std::string::npos) << client.login << ": " << shown << "\n"
                                                      << cells;
    }
  }
  // The plots: today's three logins, and client.exe given in two versions.
  for (const char* part : {"<svg id=\"logins-per-day\"", ": 3 logins</title>",
                           "<svg id=\"versions-in-fleet\"", "1.0.0.1 (1), 1.0.0.2 (2)"}) {
    EXPECT_NE(fleet.find(part), std::string::npos) << part;
  }
  EXPECT_EQ(fleet.find("style="), std::string::npos) << "the content policy forbids it";
  // Filtered by another key name, no client is left.
  EXPECT_EQ(Page("/console/fleet?key_name=OTHER", cookie).find("<td>ann</td>"), std::string::npos);

  const std::string notes = Page("/console/notes", cookie);
  EXPECT_NE(notes.find("<pre>&lt;b&gt;not a report&lt;/b&gt; &amp; more\r\n</pre>"),
            std::string::npos)
      << notes;
  EXPECT_EQ(notes.find("<b>not"), std::string::npos);
  EXPECT_LT(notes.find("<td>cy</td>"), notes.find("<td>ann</td>"));  // newest first
}

}  // namespace
}  // namespace qv::server
