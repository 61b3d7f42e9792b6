// The HTTP server in-process on a free loopback port: files by GET with
// their length and ranges, missing and refused paths, the built-in prelude
// files, business-object calls by POST, and clients that try to keep the
// others waiting (slow senders, floods of logins, guessed passwords).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "server/dispatcher.h"
#include "server/http_server.h"
#include "server/prelude_files.h"
#include "tests/server_fixture.h"
#include "tests/test_util.h"

namespace qv::server {
namespace {

using Json = nlohmann::json;
using std::chrono::milliseconds;

// A plain TCP connection to the server, for what an HTTP client would not
// send.
class RawConnection {
 public:
  explicit RawConnection(int port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  }
  ~RawConnection() { ::close(fd_); }

  // Sends no more.
  void Finish() { ::shutdown(fd_, SHUT_WR); }
  bool Send(const std::string& text) {
    return connected_ &&
           ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
  }
  // What arrives until the server closes the connection, until marker has
  // arrived, or until limit has passed; *closed says whether it closed.
  std::string Read(milliseconds limit, const std::string& marker = "", bool* closed = nullptr) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + limit;
    bool eof = false;
    while (!eof && (marker.empty() || got.find(marker) == std::string::npos)) {
      const auto left =
          std::chrono::duration_cast<milliseconds>(end - std::chrono::steady_clock::now());
      pollfd wait{fd_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&wait, 1, static_cast<int>(left.count())) <= 0) break;
      char block[4096];
      const ssize_t n = ::recv(fd_, block, sizeof(block), 0);
      if (n > 0) got.append(block, static_cast<size_t>(n));
      eof = n <= 0;
    }
    if (closed != nullptr) *closed = eof;
    return got;
  }

 private:
  int fd_;
  bool connected_ = false;
};

std::string LoginBody(const std::string& login, const std::string& password) {
  return testing::BusinessCall(kV2ObjectId, "LoginUser", {"KEY", login, password, "192.0.2.7"});
}

std::string PostRequest(const std::string& body) {
  return "POST / HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Type: "
         "application/json\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

class HttpServerTest : public testing::LoopbackServerTest {
 protected:
  HttpServerTest() : LoopbackServerTest("qvhttp") {
    ::mkdir((dir_ + "/files").c_str(), 0755);
    ::mkdir((dir_ + "/files/sub").c_str(), 0755);
    testing::WriteHostFile(dir_ + "/outside.txt", "not for clients");
  }

  void Start(ServerOptions options = {}) {
    options.files_dir = dir_ + "/files";
    LoopbackServerTest::Start(options);
    if (server_ == nullptr) return;
    // Generous: the answers that must not wait arrive far sooner.
    client_->set_read_timeout(3, 0);
    client_->set_connection_timeout(3, 0);
  }
  std::string Login(const std::string& login, const std::string& password) {
    auto res = client_->Post("/", LoginBody(login, password), "application/json");
    return res && res->status == 200 ? res->body : "no answer";
  }
};

TEST_F(HttpServerTest, ServesFilesWithTheirLength) {
  std::string big(3 * 1024 * 1024 + 17, '\0');
  std::mt19937 random(7);
  for (char& c : big) c = static_cast<char>(random());
  testing::WriteHostFile(dir_ + "/files/sub/big.bin", big);
  Start();
  EXPECT_EQ(server_->base_url(), "http://127.0.0.1:" + std::to_string(server_->port()));

  auto res = client_->Get("/sub/big.bin");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->get_header_value("Content-Length"), std::to_string(big.size()));
  EXPECT_TRUE(res->body == big);

  res = client_->Get("/sub/missing.bin");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 404);
  res = client_->Get("/sub");  // a folder is no file
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 404);
}

TEST_F(HttpServerTest, AnswersRangesAsHttpSays) {
  const std::string text = "The quick brown fox jumps over the lazy dog 47.";
  ASSERT_EQ(text.size(), 47u);
  testing::WriteHostFile(dir_ + "/files/47.txt", text);
  testing::WriteHostFile(dir_ + "/files/empty.txt", "");
  Start();
  struct Case {
    const char* path;
    const char* range;
    int status;
    const char* content_range;  // "" for none
    size_t first, length;       // of text, sent
  } cases[] = {
      {"/47.txt", "bytes=0-99999", 206, "bytes 0-46/47", 0, 47},  // the end is cut to the size
      {"/47.txt", "bytes=10-19", 206, "bytes 10-19/47", 10, 10},
      {"/47.txt", "bytes=40-", 206, "bytes 40-46/47", 40, 7},
      {"/47.txt", "bytes=-5", 206, "bytes 42-46/47", 42, 5},
      {"/47.txt", "Bytes = -100", 206, "bytes 0-46/47", 0, 47},
      {"/47.txt", "bytes=5-2", 200, "", 0, 47},  // not a range: ignored
      {"/47.txt", "bytes=abc", 200, "", 0, 47},
      {"/47.txt", "foo=0-1", 200, "", 0, 47},
      {"/47.txt", "bytes=", 200, "", 0, 47},
      {"/47.txt", "bytes=0-1,5-6", 200, "", 0, 47},  // several: the whole file
      {"/47.txt", "bytes=47-", 416, "bytes */47", 0, 0},
      {"/47.txt", "bytes=99999999999999999999999-", 416, "bytes */47", 0, 0},
      {"/47.txt", "bytes=-0, 50-60", 416, "bytes */47", 0, 0},
      {"/empty.txt", "bytes=0-", 416, "bytes */0", 0, 0},
      {"/empty.txt", "bytes=-1", 200, "", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " " + c.range);
    auto res = client_->Get(c.path, {{"Range", c.range}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, c.status);
    EXPECT_EQ(res->get_header_value("Content-Range"), c.content_range);
    EXPECT_EQ(res->body, text.substr(c.first, c.length));
    EXPECT_EQ(res->get_header_value("Content-Length"), std::to_string(c.length));
  }
  // Without validators to compare, an If-Range means the whole file.
  auto res = client_->Get("/47.txt", {{"Range", "bytes=0-1"}, {"If-Range", "\"x\""}});
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->body, text);
}

TEST_F(HttpServerTest, SlowOrSilentClientsHoldNoWorkerAndAreClosed) {
  testing::WriteHostFile(dir_ + "/files/f.bin", std::string(1 << 20, 'f'));
  ServerOptions options;
  options.threads = 1;
  options.limits.idle = milliseconds(500);
  options.limits.header = milliseconds(1000);
  Start(options);
  std::vector<std::unique_ptr<RawConnection>> slow, silent;
  for (int i = 0; i < 50; ++i) {
    slow.push_back(std::make_unique<RawConnection>(server_->port()));
    ASSERT_TRUE(slow.back()->Send("GET /f.bin HTTP/1.1\r\nHost: x\r\n"));
    silent.push_back(std::make_unique<RawConnection>(server_->port()));
  }
  auto res = client_->Get("/f.bin");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->body.size(), size_t{1} << 20);

  // A header sent a line at a time still has to be whole in time.
  RawConnection trickle(server_->port());
  ASSERT_TRUE(trickle.Send("GET /f.bin HTTP/1.1\r\n"));
  bool closed = false;
  std::string got;
  for (int i = 0; i < 15 && !closed; ++i) {
    trickle.Send("X-Line: " + std::to_string(i) + "\r\n");
    got += trickle.Read(milliseconds(200), "", &closed);
  }
  EXPECT_TRUE(closed);
  EXPECT_EQ(got.rfind("HTTP/1.1 408", 0), 0u) << got;
  for (size_t i = 0; i < slow.size(); ++i) {
    EXPECT_EQ(slow[i]->Read(milliseconds(3000), "", &closed).rfind("HTTP/1.1 408", 0), 0u);
    EXPECT_TRUE(closed);
    EXPECT_EQ(silent[i]->Read(milliseconds(3000), "", &closed), "");
    EXPECT_TRUE(closed);
  }
}

TEST_F(HttpServerTest, DownloadsAndCallsDoNotWaitBehindLogins) {
  testing::WriteHostFile(dir_ + "/files/f.bin", std::string(1 << 20, 'f'));
  ServerOptions options;
  options.threads = 1;
  options.login_queue = 2;
  Start(options);
  const std::string id = Json::parse(Login("ann", "pw"))["result"];
  const std::string list_call = testing::BusinessCall(kV2ObjectId, "GetInstallFiles", {id});
  // Right passwords, which no throttle holds back: each costs a check.
  std::vector<std::unique_ptr<RawConnection>> logins;
  for (int i = 0; i < 200; ++i) {
    logins.push_back(std::make_unique<RawConnection>(server_->port()));
    ASSERT_TRUE(logins.back()->Send(PostRequest(LoginBody("ann", "pw"))));
  }
  auto res = client_->Get("/f.bin");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->body.size(), size_t{1} << 20);
  res = client_->Post("/", list_call, "application/json");
  ASSERT_TRUE(res);
  EXPECT_TRUE(Json::parse(res->body)["result"].is_object()) << res->body;

  // Each login is checked, or answered busy when too many wait.
  int accepted = 0, busy = 0;
  for (auto& login : logins) {
    const std::string answer = login->Read(milliseconds(15000));
    const Json body = Json::parse(answer.substr(answer.find("\r\n\r\n") + 4), nullptr, false);
    if (answer.rfind("HTTP/1.1 200", 0) == 0 && body["result"].get<std::string>().size() == 32) {
      ++accepted;
    } else if (answer.rfind("HTTP/1.1 503", 0) == 0) {
      EXPECT_EQ(body["error"]["number"], kErrorServerBusy) << answer;
      EXPECT_EQ(body["error"]["source"], "QVBO_V2.Init");
      ++busy;
    }
  }
  EXPECT_GE(accepted, 1);
  EXPECT_EQ(accepted + busy, 200);
}

// Failed logins hold back even the right password, with the answer a wrong
// one gets: per account, and per address. Behind nginx every call comes
// from the proxy's address: the address counted is the one it forwards, and
// only when the proxy is trusted (otherwise anyone could name any address
// and dodge the count).
TEST_F(HttpServerTest, FailedLoginsHoldBackTheAccountAndTheAddressATrustedProxyForwards) {
  const struct {
    const char* what;
    int account_free, address_burst;
    std::vector<std::string> trusted;
    const char* other_login;  // with the right password, after ann's failures
    const char* other_forwarded;
    bool other_gets_in;
  } rows[] = {{"another account", 1, 100, {}, "bob", "198.51.100.1", true},
              {"trusted proxy", 100, 2, {"127.0.0.1"}, "ann", "198.51.100.2", true},
              {"no proxy trusted", 100, 2, {}, "ann", "198.51.100.2", false},
              {"another proxy trusted", 100, 2, {"192.0.2.1"}, "ann", "198.51.100.2", false}};
  int count = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    // A database of the row's own: the counts are kept there.
    db_path_ = dir_ + "/" + std::to_string(++count) + ".db";
    {
      const auto storage = testing::OpenStorage(db_path_, Storage::Mode::kCreate);
      ASSERT_TRUE(storage && storage->AddUser("KEY", "ann", "pw", false).ok() &&
                  storage->AddUser("KEY", "bob", "pw", false).ok());
    }
    ServerOptions options;
    options.trusted_proxies = row.trusted;
    options.throttle.account_free = row.account_free;
    options.throttle.account_delay = milliseconds(60'000);
    options.throttle.address_burst = row.address_burst;
    options.throttle.address_refill = milliseconds(600'000);
    Start(options);
    const auto login = [this](const std::string& login, const std::string& forwarded,
                              const std::string& password) {
      // The first entry is what the caller sent; the proxy appended the rest.
      const httplib::Headers headers{{"X-Forwarded-For", "203.0.113.9, " + forwarded}};
      auto res = client_->Post("/", headers, LoginBody(login, password), "application/json");
      return res && res->status == 200 ? res->body : "no answer";
    };
    const std::string refused = login("ann", "198.51.100.1", "wrong");
    EXPECT_EQ(Json::parse(refused), (Json{{"result", ""}}));
    for (int i = 0; i < 2; ++i) login("ann", "198.51.100.1", "wrong");
    // The same answer as a wrong password: nothing tells a guesser more.
    EXPECT_EQ(login("ann", "198.51.100.1", "pw"), refused);
    const Json other =
        Json::parse(login(row.other_login, row.other_forwarded, "pw"), nullptr, false);
    EXPECT_EQ(other.value("result", std::string()).size(), row.other_gets_in ? 32u : 0u);
    server_.reset();
  }
}

TEST_F(HttpServerTest, FramesRequestsBeforeAWorkerSeesThem) {
  testing::WriteHostFile(dir_ + "/files/a.txt", "A");
  Start();
  RawConnection pipelined(server_->port());
  ASSERT_TRUE(pipelined.Send(
      "GET /a.txt HTTP/1.1\r\nHost: x\r\n\r\nGET /a.txt HTTP/1.1\r\nHost: x\r\n\r\n"));
  pipelined.Finish();  // both are still answered
  bool closed = false;
  const std::string both = pipelined.Read(milliseconds(3000), "", &closed);
  EXPECT_TRUE(closed);
  EXPECT_EQ(both.rfind("HTTP/1.1 200", 0), 0u) << both;
  EXPECT_NE(both.find("HTTP/1.1 200", 1), std::string::npos) << both;

  const std::string body = LoginBody("ann", "pw");
  RawConnection waits(server_->port());
  ASSERT_TRUE(waits.Send("POST / HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\nContent-Length: " +
                         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n"));
  EXPECT_EQ(waits.Read(milliseconds(3000), "\r\n\r\n"), "HTTP/1.1 100 Continue\r\n\r\n");
  ASSERT_TRUE(waits.Send(body));
  const std::string answer = waits.Read(milliseconds(3000));
  EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
  EXPECT_NE(answer.find("\"result\""), std::string::npos) << answer;

  RawConnection chunked(server_->port());
  ASSERT_TRUE(chunked.Send(
      "POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n2\r\n{}\r\n0\r\n\r\n"));
  EXPECT_EQ(chunked.Read(milliseconds(3000), "", &closed).rfind("HTTP/1.1 400", 0), 0u);
  EXPECT_TRUE(closed);

  RawConnection huge(server_->port());
  ASSERT_TRUE(huge.Send("GET /a.txt HTTP/1.1\r\nX-Big: " + std::string(70 * 1024, 'b') + "\r\n"));
  EXPECT_EQ(huge.Read(milliseconds(3000), "", &closed).rfind("HTTP/1.1 431", 0), 0u);
  EXPECT_TRUE(closed);
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
  post(LoginBody("ann", "pw"), 200);
  post("{not json", 400);
  post(testing::BusinessCall(kV2ObjectId, "WriteLoginNotes", {"id", std::string(1024 * 1024, 'x')}),
       413);
  std::vector<LoginNote> notes;
  ASSERT_TRUE(server_->storage().ListLoginNotes(&notes).ok());
  EXPECT_TRUE(notes.empty());
}

TEST_F(HttpServerTest, RefusesAFilesFolderThatIsNotThere) {
  ServerOptions options;
  options.db_path = dir_ + "/server.db";
  options.files_dir = dir_ + "/nowhere";
  std::unique_ptr<Server> server;
  const Status started = Server::Start(options, &server);
  EXPECT_EQ(started.code(), kErrorFileNotFound);
  EXPECT_NE(started.message().find("nowhere"), std::string::npos) << started.ToString();
  EXPECT_EQ(server, nullptr);
}

}  // namespace
}  // namespace qv::server
