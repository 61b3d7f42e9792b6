// The web console through the real server on a free loopback port: signing
// in, the session cookie, the form token every change needs, users added,
// disabled and given new passwords there as the business calls see them,
// install lists checked, imported and exported as the command line does, and
// the published files.
#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "installlist/install_list.h"
#include "server/console_list_pages.h"
#include "server/console_lists.h"
#include "server/credentials.h"
#include "server/dispatcher.h"
#include "server/http_server.h"
#include "server/list_document.h"
#include "tests/server_fixture.h"
#include "tests/test_authority.h"
#include "tests/test_util.h"

namespace qv::server {
namespace {

using Json = nlohmann::json;

// A list document with the fields every record needs; each record is a JSON
// array of SequenceID, FileName, DownloadLocation, InstallType, FileVersion.
std::string ListDocument(const std::vector<std::string>& records) {
  std::string document =
      R"({"format": "qv-installlist", "version": 1, "fields": [)"
      R"({"name": "SequenceID", "type": "integer"}, {"name": "FileName", "type": "string"}, )"
      R"({"name": "DownloadLocation", "type": "string"}, {"name": "InstallType", "type": "integer"},)"
      R"( {"name": "FileVersion", "type": "string"}], "records": [)";
  for (size_t i = 0; i < records.size(); ++i) document += (i ? ", " : "") + records[i];
  return document + "]}";
}

// The value of the form field name in page, its character references undone.
std::string FieldValue(const std::string& page, const std::string& name) {
  const std::string marker = "name=\"" + name + "\" value=\"";
  const size_t start = page.find(marker);
  if (start == std::string::npos) return "";
  const size_t from = start + marker.size();
  std::string value = page.substr(from, page.find('"', from) - from);
  // "&amp;" last: what it gives back is text, not another reference.
  for (const auto& [reference, c] : std::vector<std::pair<std::string, std::string>>{
           {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&#39;", "'"}, {"&amp;", "&"}}) {
    for (size_t at = 0; (at = value.find(reference, at)) != std::string::npos; at += c.size()) {
      value.replace(at, reference.size(), c);
    }
  }
  return value;
}

class ConsoleTest : public testing::LoopbackServerTest {
 protected:
  ConsoleTest() : LoopbackServerTest("qvconsole") {
    const auto storage = testing::OpenStorage(db_path_);
    EXPECT_TRUE(storage && storage->AddAdmin("root", "admin pw", false).ok());
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
    *token = FieldValue(Page("/console/users", *cookie), "csrf");
    ASSERT_EQ(token->size(), 32u);
  }

  // The result of a business call sent with the User-Agent agent; null
  // when it failed.
  Json Business(const std::string& operation, const std::vector<std::string>& arguments,
                const std::string& agent = "") {
    httplib::Headers headers;
    if (!agent.empty()) headers.emplace("User-Agent", agent);
    auto res = client_->Post("/", headers, testing::BusinessCall(kV2ObjectId, operation, arguments),
                             "application/json");
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

  httplib::Result Get(const std::string& path, const std::string& cookie) {
    return client_->Get(path.c_str(), {{"Cookie", "qvconsole=" + cookie}});
  }

  // Posts fields as multipart/form-data, as the list forms do; "document" as
  // a file.
  httplib::Result PostMultipart(const std::string& path, const httplib::Params& fields,
                                const std::string& cookie) {
    httplib::MultipartFormDataItems items;
    for (const auto& [name, value] : fields) {
      items.push_back({name, value, name == "document" ? "installlist.rst" : "", ""});
    }
    return client_->Post(path.c_str(), {{"Cookie", "qvconsole=" + cookie}}, items);
  }

  // The stored list of key_name; "" when there is none.
  std::string StoredList(const std::string& key_name) {
    bool found = false;
    std::string document;
    int64_t generation = 0;
    EXPECT_TRUE(server_->storage().GetInstallList(key_name, &found, &document, &generation).ok());
    return document;
  }

  bool HasUser(const std::string& login) {
    std::vector<UserRow> users;
    EXPECT_TRUE(server_->storage().ListUsers(&users).ok());
    for (const UserRow& user : users) {
      if (user.login == login) return true;
    }
    return false;
  }
};

// Over plain HTTP, and over TLS where the cookie is Secure too.
TEST_F(ConsoleTest, SignsInOnlyWithTheRightPasswordAndASafeCookie) {
  testing::TestAuthority authority(dir_);
  const testing::TestAuthority::Issued issued = authority.Issue("local", "IP:127.0.0.1", 2);
  struct Row {
    const char* name;
    const char* password;
    int status;
  };
  for (const bool tls : {false, true}) {
    ServerOptions options;
    if (tls) {
      options.tls_cert = issued.cert;
      options.tls_key = issued.key;
    }
    Start(options);
    if (tls) client_->set_ca_cert_path(authority.ca_file());
    for (const Row& row : std::vector<Row>{{"root", "wrong", 401},
                                           {"nobody", "admin pw", 401},
                                           {"ann", "pw", 401},  // a client's user is no admin
                                           {"root", "admin pw", 303}}) {
      auto res = Post("/console/login", {{"name", row.name}, {"password", row.password}});
      ASSERT_TRUE(res) << httplib::to_string(res.error());
      EXPECT_EQ(res->status, row.status) << row.name << "/" << row.password;
      EXPECT_EQ(res->has_header("Set-Cookie"), row.status == 303);
      if (row.status != 303) continue;
      EXPECT_EQ(res->get_header_value("Location"), "/console/users");
      const std::string cookie = res->get_header_value("Set-Cookie");
      for (const char* attribute :
           {"; HttpOnly", "; SameSite=Strict", "; Path=/console", "; Max-Age=28800"}) {
        EXPECT_NE(cookie.find(attribute), std::string::npos) << cookie;
      }
      EXPECT_EQ(cookie.find("; Secure") != std::string::npos, tls) << cookie;
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
  // A form that would add bob, or store a list for KEY, with the token.
  httplib::Params form = bob;
  form.emplace("document", ListDocument({R"([1, "a.dll", "a.dll", 2, "1.0"])"}));
  form.emplace("generation", "0");
  for (const Refused& row : std::vector<Refused>{{"no token", cookie, ""},
                                                 {"a wrong token", cookie, std::string(32, 'a')},
                                                 {"another session's token", cookie, other_token},
                                                 {"no session", "", token}}) {
    for (const char* path :
         {"/console/users/add", "/console/lists/check", "/console/lists/apply"}) {
      httplib::Params sent = form;
      if (!row.token.empty()) sent.emplace("csrf", row.token);
      auto res = PostMultipart(path, sent, row.cookie);
      ASSERT_TRUE(res);
      EXPECT_EQ(res->status, 403) << row.what << " " << path;
      EXPECT_FALSE(HasUser("bob")) << row.what;
      EXPECT_EQ(StoredList("KEY"), "") << row.what;
    }
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
  EXPECT_TRUE(BusinessLogin("ann", "pw"));

  // Signing out ends the session; the other one lives on.
  auto res = Post("/console/logout", {{"csrf", token}}, cookie);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 303);
  res = client_->Get("/console/users", {{"Cookie", "qvconsole=" + cookie}});
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 303);
  res = client_->Get("/console/users", {{"Cookie", "qvconsole=" + other_cookie}});
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
}

TEST_F(ConsoleTest, BadListDocumentsAreRefusedWithTheValidatorsMessage) {
  Start();
  std::string cookie, token;
  SignIn(&cookie, &token);
  const std::string stored = ListDocument({R"([1, "a.dll", "a.dll", 2, "1.0"])"});
  ASSERT_TRUE(server_->storage().PutInstallList("KEY", stored).ok());
  const std::string missing_field =
      R"({"format": "qv-installlist", "version": 1, "fields": [)"
      R"({"name": "SequenceID", "type": "integer"}, {"name": "FileName", "type": "string"}, )"
      R"({"name": "DownloadLocation", "type": "string"}, {"name": "InstallType", "type": "integer"})"
      R"(], "records": [[1, "a.dll", "a.dll", 2]]})";
  struct Row {
    const char* what;
    std::string document;
    int status;
    const char* says;  // a part of the message
  };
  for (const Row& row : std::vector<Row>{
           {"not JSON", "{\"format\": ", 400, "the document: "},
           {"a field every record needs is missing", missing_field, 400, "FileVersion"},
           {"a value of the wrong type", ListDocument({R"(["one", "a.dll", "a.dll", 2, "1.0"])"}),
            400, "the document: "},
           {"over the size limit", std::string(kMaxListDocumentBytes + 1, ' '), 413, "16 MiB"},
           {"over the request limit", std::string(kMaxListFormBytes + 1, ' '), 413, "16 MiB"}}) {
    for (const char* path : {"/console/lists/check", "/console/lists/apply"}) {
      auto res = PostMultipart(
          path,
          {{"csrf", token}, {"key_name", "KEY"}, {"generation", "1"}, {"document", row.document}},
          cookie);
      ASSERT_TRUE(res);
      EXPECT_EQ(res->status, row.status) << row.what << " " << path;
      EXPECT_NE(res->body.find(row.says), std::string::npos) << row.what << " " << path;
      if (row.status == 400) {
        // Word for word what "qvserver list import" says of it.
        Recordset list;
        const Status parsed = ParseListDocument(row.document, "the document", &list);
        ASSERT_FALSE(parsed.ok()) << row.what;
        EXPECT_NE(res->body.find("class=\"message failed\" role=\"alert\">" +
                                 HtmlEscape(parsed.message()) + "<"),
                  std::string::npos)
            << row.what << " " << path << ": " << res->body;
      }
      EXPECT_EQ(StoredList("KEY"), stored) << row.what << " " << path;
    }
  }
}

TEST_F(ConsoleTest, ImportsAListAfterShowingWhatChangesAndExportsItAsTheCommandLineDoes) {
  Start();
  std::string cookie, token;
  SignIn(&cookie, &token);
  ASSERT_TRUE(server_->storage()
                  .PutInstallList("KEY", ListDocument({R"([1, "a.dll", "x/a.dll", 2, "1.0"])",
                                                       R"([2, "b.dll", "x/b.dll", 2, "1.0"])",
                                                       R"([3, "c.dll", "x/c.dll", 2, "1.0"])"}))
                  .ok());
  const std::string document =
      ListDocument({R"([1, "a.dll", "x/a.dll", 2, "1.0"])", R"([2, "b.dll", "y/b.dll", 1, "1.1"])",
                    R"([4, "d.dll", "x/d.dll", 2, "1.0"])"});
  auto res = PostMultipart("/console/lists/check",
                           {{"csrf", token}, {"key_name", "KEY"}, {"document", document}}, cookie);
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200) << res->body;
  const std::string diff = res->body.substr(res->body.find("<table id=\"diff\""));
  // The unchanged a.dll is left out: the browser flow counts the diff's rows.
  for (const char* row : {"<tr class=\"changed\"><td>changed</td><td>b.dll</td><td><ul>"
                          "<li>DownloadLocation: x/b.dll -&gt; y/b.dll</li><li>InstallType: 2 "
                          "-&gt; 1</li><li>FileVersion: 1.0 -&gt; 1.1</li></ul></td></tr>",
                          "<tr class=\"added\"><td>added</td><td>d.dll</td>",
                          "<tr class=\"removed\"><td>removed</td><td>c.dll</td>"}) {
    EXPECT_NE(diff.find(row), std::string::npos) << row << diff;
  }
  EXPECT_NE(StoredList("KEY").find("c.dll"), std::string::npos) << "checking stores nothing";

  // Applying stores the document; applying what was compared with the
  // replaced list is refused.
  const httplib::Params apply = {{"csrf", token},
                                 {"key_name", FieldValue(diff, "key_name")},
                                 {"generation", FieldValue(diff, "generation")},
                                 {"document", FieldValue(diff, "document")}};
  for (int status : {200, 409}) {
    res = PostMultipart("/console/lists/apply", apply, cookie);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, status) << res->body;
  }
  EXPECT_NE(res->body.find("changed since the document was checked"), std::string::npos);
  bool found = false;
  std::string stored;
  int64_t generation = 0;
  ASSERT_TRUE(server_->storage().GetInstallList("KEY", &found, &stored, &generation).ok());
  Recordset expected;
  ASSERT_TRUE(ParseListDocument(document, "", &expected).ok());
  EXPECT_EQ(stored, expected.ToJson());

  // The overview and the list's page show it.
  const std::string overview = Page("/console/lists", cookie);
  EXPECT_NE(overview.find(">KEY</a></td><td>" + std::to_string(generation) + "</td>"),
            std::string::npos)
      << overview;
  EXPECT_NE(overview.find("</td><td>3</td><td><a href=\"/console/lists/export?key_name=KEY\">"),
            std::string::npos)
      << "three records";
  EXPECT_NE(Page("/console/lists/view?key_name=KEY", cookie)
                .find("<tr><td>4</td><td>d.dll</td><td>x/d.dll</td><td>2</td><td>1.0</td>"),
            std::string::npos);

  const std::string file = dir_ + "/exported.rst";
  ASSERT_EQ(testing::RunCommand(
                {testing::QvserverPath(), "list", "export", dir_ + "/server.db", "KEY", file})
                .exit_code,
            0);
  res = Get("/console/lists/export?key_name=KEY", cookie);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->get_header_value("Content-Disposition"),
            "attachment; filename=\"installlist.rst\"");
  EXPECT_EQ(res->body, testing::ReadHostFile(file));
}

TEST_F(ConsoleTest, TheFilesPageShowsPublishedFilesAndTheListedOnesMissing) {
  const std::string files = dir_ + "/files";
  std::filesystem::create_directories(files + "/x");
  testing::WriteHostFile(files + "/x/a.dll", "12345");
  std::filesystem::create_symlink(dir_, files + "/out");
  ServerOptions options;
  options.files_dir = files;
  Start(options);
  ASSERT_TRUE(
      server_->storage()
          .PutInstallList("KEY", ListDocument({R"([1, "a.dll", "x/a.dll", 2, "1.0"])",
                                               R"([2, "b.dll", "x/b.dll", 2, "1.0"])",
                                               R"([3, "c.dll", "out/server.db", 2, "1.0"])"}))
          .ok());
  std::string cookie, token;
  SignIn(&cookie, &token);
  auto res = Get("/console/files", cookie);
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200);
  const size_t files_table = res->body.find("<table id=\"files\"");
  ASSERT_NE(files_table, std::string::npos);
  const std::string missing = res->body.substr(0, files_table);
  const std::string listed = res->body.substr(files_table);
  struct Row {
    const std::string* section;
    std::string text;
    bool shown;
  };
  for (const Row& row : std::vector<Row>{
           {&listed, "<tr><td>x/a.dll</td><td>5</td>", true},
           {&listed, "<tr><td>out</td><td colspan=\"2\">a link out of the folder", true},
           {&listed, "server.db", false},
           {&missing, "<td>x/b.dll</td><td>no such file", true},
           {&missing, "<td>out/server.db</td>", true},
           {&missing, "x/a.dll", false}}) {
    EXPECT_EQ(row.section->find(row.text) != std::string::npos, row.shown) << row.text << "\n"
                                                                           << res->body;
  }
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

TEST_F(ConsoleTest, AListsRecordsAreShownAPageAtATime) {
  Start();
  std::string cookie, token;
  SignIn(&cookie, &token);
  const size_t count = 2 * kConsoleListRecordsPerPage + 1;
  std::vector<std::string> records;
  for (size_t i = 1; i <= count; ++i) {
    records.push_back("[" + std::to_string(i) + ", \"f" + std::to_string(i) +
                      ".dll\", \"x\", 2, \"1\"]");
  }
  ASSERT_TRUE(server_->storage().PutInstallList("K&Y", ListDocument(records)).ok());
  const std::string view = "/console/lists/view?key_name=K%26Y&amp;page=";
  struct Case {
    const char* page;     // as asked for
    size_t first, last;   // the records shown (0: none)
    const char* earlier;  // the page the earlier link leads to ("": none)
    const char* later;
  };
  for (const Case& c : std::vector<Case>{{"", 1, 500, "", "2"},
                                         {"2", 501, 1000, "1", "3"},
                                         {"3", 1001, 1001, "2", ""},
                                         {"4", 0, 0, "3", ""},
                                         {"0", 1, 500, "", "2"},
                                         {"x", 1, 500, "", "2"}}) {
    const std::string page =
        Page("/console/lists/view?key_name=K%26Y" + std::string(*c.page ? "&page=" : "") + c.page,
             cookie);
    const std::string table = page.substr(page.find("<table id=\"records\""));
    const auto shown = [&](size_t n) {
      return table.find("<td>f" + std::to_string(n) + ".dll</td>") != std::string::npos;
    };
    SCOPED_TRACE(c.page);
    if (c.first > 0) {
      EXPECT_TRUE(shown(c.first));
      EXPECT_TRUE(shown(c.last));
      EXPECT_FALSE(shown(c.first - 1 > 0 ? c.first - 1 : count));
    }
    EXPECT_FALSE(shown(c.last + 1));
    EXPECT_EQ(page.find(view + c.earlier + "\">Earlier records</a>") != std::string::npos,
              *c.earlier != '\0');
    EXPECT_EQ(page.find(view + c.later + "\">Later records</a>") != std::string::npos,
              *c.later != '\0');
  }
}

}  // namespace
}  // namespace qv::server
