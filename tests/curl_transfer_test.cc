// The libcurl components against a server on 127.0.0.1. The HTTP transfer:
// the state changes, the header, the body in chunks, redirects, kept-alive
// connections, failures and cancelling, the confirmed end of a body, slow
// servers, and a reader that waits in the event loop. The remote data space: the calls it
// posts and what it makes of the answers of good and broken servers (the
// reading of answers is tested in data_space_protocol_test.cc).
#include "platform/curl/curl_transfer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <nlohmann/json.hpp>
#include <set>

#include "platform/curl/curl_data_space.h"
#include "tests/local_http.h"
#include "tests/raw_http_server.h"
#include "tests/test_util.h"

namespace qv {
namespace {

std::string Body(size_t n) {
  std::string body(n, '\0');
  for (size_t i = 0; i < n; ++i) body[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
  return body;
}

class TestServer {
 public:
  TestServer() {
    httplib::Server& server = http_.server;
    server.Get("/file", [this](const httplib::Request& req, httplib::Response& res) {
      ports_.insert(req.remote_port);
      res.set_content(Body(100000), "application/octet-stream");
    });
    server.Get("/big", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(Body(8 << 20), "application/octet-stream");
    });
    server.Get("/moved",
               [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/file"); });
    server.Get("/headers", [this](const httplib::Request& req, httplib::Response& res) {
      proxy_connection_ = req.get_header_value("Proxy-Connection");
      res.set_content("ok", "text/plain");
    });
    // Business-object calls, answered as told.
    server.Post(".*", [this](const httplib::Request& req, httplib::Response& res) {
      last_path = req.path;
      last_request = nlohmann::json::parse(req.body, nullptr, false);
      res.status = status;
      res.set_content(answer, "application/json");
    });
    http_.Start();
  }
  // Without a scheme, which the data space takes as http.
  std::string Address(const std::string& path = "") const {
    return "127.0.0.1:" + std::to_string(http_.port()) + path;
  }
  std::string Url(const std::string& path) const { return http_.Url(path); }
  std::set<int> ports_;
  std::string proxy_connection_;
  int status = 200;
  std::string answer;
  std::string last_path;
  nlohmann::json last_request;

 private:
  testing::LocalHttp http_;
};

class CurlTransferTest : public ::testing::Test {
 protected:
  CurlTransferTest() : transfer_(&loop_) {
    transfer_.SetStateChangedHandler([this](int state) { states_.push_back(state); });
  }
  // Starts a request and runs the loop until its state arrives.
  int Fetch(const std::string& url) {
    states_.clear();
    EXPECT_TRUE(transfer_.Execute(url, "GET", "", "Proxy-Connection: Keep-Alive").ok());
    loop_.RunUntil([this] { return !states_.empty(); });
    return states_.empty() ? -1 : states_.front();
  }
  std::string ReadBody() {
    std::string body;
    while (true) {
      std::vector<uint8_t> chunk = transfer_.GetChunk(2048);
      EXPECT_LE(chunk.size(), 2048u);
      if (chunk.empty()) break;
      body.append(chunk.begin(), chunk.end());
    }
    return body;
  }

  TestServer server_;
  testing::RawHttpServer raw_;
  EventLoop loop_;
  CurlTransfer transfer_;
  std::vector<int> states_;
};

using Reply = testing::RawHttpServer::Reply;
using testing::RawHttpServer;

TEST_F(CurlTransferTest, CompletedResponsesGiveTheirHeaderAndBodyInChunks) {
  struct Case {
    const char* path;
    const char* status_line;  // of the final response
    size_t body;              // Body(n); 0: not read
  };
  for (const Case& c : {Case{"/file", "HTTP/1.1 200", 100000},
                        Case{"/big", "HTTP/1.1 200", size_t{8} << 20},  // larger than the buffer
                        Case{"/moved", "HTTP/1.1 200", 100000},  // the redirect is followed
                        Case{"/nothing", "HTTP/1.1 404", 0}}) {
    SCOPED_TRACE(c.path);
    ASSERT_EQ(Fetch(server_.Url(c.path)), kStateResponseCompleted);
    EXPECT_EQ(transfer_.GetHeader("").rfind(c.status_line, 0), 0u) << transfer_.GetHeader("");
    if (c.body > 0) {
      EXPECT_EQ(ReadBody(), Body(c.body));
    }
  }
  ASSERT_EQ(Fetch(server_.Url("/file")), kStateResponseCompleted);
  EXPECT_EQ(transfer_.GetHeader("Content-length"), "100000");
  EXPECT_EQ(transfer_.GetHeader("CONTENT-LENGTH"), "100000");
  EXPECT_EQ(transfer_.GetHeader("X-Absent"), "");
  EXPECT_EQ(transfer_.url(), server_.Url("/file"));
  EXPECT_EQ(ReadBody(), Body(100000));
  EXPECT_TRUE(loop_.RunUntilIdle());
  EXPECT_EQ(states_.size(), 1u) << "one state change per request";
  // The request carries the header it was given.
  ASSERT_EQ(Fetch(server_.Url("/headers")), kStateResponseCompleted);
  EXPECT_EQ(server_.proxy_connection_, "Keep-Alive");
}

TEST_F(CurlTransferTest, RequestsToOneServerShareAConnection) {
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(Fetch(server_.Url("/file")), kStateResponseCompleted);
    ReadBody();
  }
  EXPECT_EQ(server_.ports_.size(), 1u);
}

TEST_F(CurlTransferTest, UnreachableServerGivesTheErrorState) {
  const int port = testing::FreeLoopbackPort();
  EXPECT_EQ(Fetch("http://127.0.0.1:" + std::to_string(port) + "/file"), kStateError);
  EXPECT_EQ(Fetch("notascheme://x"), kStateError);
  // A local file is no download, whatever the address says.
  EXPECT_EQ(Fetch("file:///etc/hostname"), kStateError);
}

TEST_F(CurlTransferTest, CancelEndsTheBodyAndReleasesTheLoop) {
  ASSERT_EQ(Fetch(server_.Url("/big")), kStateResponseCompleted);
  ASSERT_FALSE(transfer_.GetChunk(2048).empty());
  transfer_.Cancel();
  EXPECT_TRUE(transfer_.GetChunk(2048).empty());
  EXPECT_TRUE(loop_.RunUntilIdle());
  // The component is usable again.
  ASSERT_EQ(Fetch(server_.Url("/file")), kStateResponseCompleted);
  EXPECT_EQ(ReadBody(), Body(100000));
}

TEST_F(CurlTransferTest, OnlyTheNewestRequestIsDelivered) {
  states_.clear();
  ASSERT_TRUE(transfer_.Execute(server_.Url("/big"), "GET", "", "").ok());
  ASSERT_TRUE(transfer_.Execute(server_.Url("/file"), "GET", "", "").ok());
  loop_.RunUntil([this] { return !states_.empty(); });
  ASSERT_EQ(states_.size(), 1u);
  EXPECT_EQ(ReadBody(), Body(100000));
  EXPECT_TRUE(loop_.RunUntilIdle());
  EXPECT_EQ(states_.size(), 1u);
}

// Which bodies are confirmed, the empty and the cut ones among them, is
// RealTransferTest.OnlyACompleteBodyReplacesTheInstalledFile's through the
// run; here, a body in several chunks, and what the reader hands out when
// the server sends more than the body.
TEST_F(CurlTransferTest, OnlyABodyThatEndsWhereItsResponseSaysIsConfirmed) {
  const std::string data = Body(5000);
  Reply trailing{"HTTP/1.1 200 OK\r\nContent-Length: 3000\r\n\r\n", data};
  trailing.close = false;
  const struct {
    const char* name;
    Reply reply;
    std::string body;  // what GetChunk hands out
    bool confirmed;
  } cases[] = {
      {"length", RawHttpServer::WithLength(data), data, true},
      {"chunked",
       {RawHttpServer::kChunkedHead, RawHttpServer::Chunk(data.substr(0, 3000)) +
                                         RawHttpServer::Chunk(data.substr(3000)) +
                                         RawHttpServer::kLastChunk},
       data,
       true},
      {"chunked, then more",
       {RawHttpServer::kChunkedHead,
        RawHttpServer::Chunk(data) + RawHttpServer::kLastChunk + "HTTP/1.1 200 OK\r\n"},
       data,
       false},
      {"more than announced", trailing, data.substr(0, 3000), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    raw_.Set("/f", c.reply);
    ASSERT_EQ(Fetch(raw_.Url("/f")), kStateResponseCompleted);
    EXPECT_EQ(ReadBody(), c.body);
    EXPECT_EQ(transfer_.BodyEndConfirmed(), c.confirmed);
  }
}

TEST_F(CurlTransferTest, AReaderWaitingInTheLoopIsWokenWhenTheChunkIsThere) {
  raw_.Set("/slow", {"HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n", Body(5000), 1000,
                     std::chrono::milliseconds(50)});
  ASSERT_EQ(Fetch(raw_.Url("/slow")), kStateResponseCompleted);
  std::unique_ptr<Timer> guard = loop_.CreateTimer(10000, [this] { loop_.Quit(); });
  guard->SetEnabled(true);
  std::string body;
  int waits = 0;
  while (true) {
    if (!transfer_.ChunkReady(2048)) {
      ++waits;
      ASSERT_TRUE(loop_.RunUntil([this] { return transfer_.ChunkReady(2048); }));
    }
    std::vector<uint8_t> chunk = transfer_.GetChunk(2048);
    if (chunk.empty()) break;
    body.append(chunk.begin(), chunk.end());
  }
  EXPECT_EQ(body, Body(5000));
  EXPECT_GT(waits, 0);
  EXPECT_TRUE(transfer_.BodyEndConfirmed());
}

// A body that trickles in below the rate is RealTransferTest's: it ends
// early, unconfirmed, and is not installed.
TEST_F(CurlTransferTest, SlowServersFailAfterTheRateWindow) {
  CurlTransferOptions options;
  options.rate_window_seconds = 1;
  options.min_window_bytes = 1024;
  CurlTransfer impatient(&loop_, options);
  std::vector<int> states;
  impatient.SetStateChangedHandler([&](int s) { states.push_back(s); });
  // Accepts the request and never answers.
  Reply silent{"", ""};
  silent.close = false;
  raw_.Set("/silent", silent);
  EXPECT_TRUE(impatient.Execute(raw_.Url("/silent"), "GET", "", "").ok());
  loop_.RunUntil([&] { return !states.empty(); });
  EXPECT_EQ(states, std::vector<int>{kStateError});
}

TEST_F(CurlTransferTest, OnlyGetIsOffered) {
  EXPECT_FALSE(transfer_.Execute(server_.Url("/file"), "POST", "", "").ok());
  EXPECT_FALSE(transfer_.Execute(server_.Url("/file"), "GET", "data", "").ok());
}

// ---- The remote data space ---------------------------------------------------

class DataSpaceTest : public ::testing::Test {
 protected:
  ErrorInfo Call(const std::string& url, std::vector<std::string> args, CallResult* result) {
    std::unique_ptr<BusinessObject> object;
    ErrorInfo made = space_.CreateObject("QVBO_V2.Init", url, &object);
    if (!made.ok()) return made;
    return object->Call("LoginUser", &args, result);
  }
  TestServer server_;
  CurlDataSpace space_;
};

TEST_F(DataSpaceTest, PostsTheCallAndReadsTheAnswer) {
  CallResult result;
  server_.answer = R"({"result": "LID-1"})";
  ASSERT_TRUE(Call(server_.Address("/bo"), {"K", "a", "p", "r"}, &result).ok());
  EXPECT_EQ(server_.last_path, "/bo");
  EXPECT_EQ(server_.last_request,
            nlohmann::json::parse(R"({"object": "QVBO_V2.Init", "operation": "LoginUser",
                                     "arguments": ["K", "a", "p", "r"]})"));
  EXPECT_EQ(result.kind, CallResult::Kind::kText);
  EXPECT_EQ(result.text, "LID-1");
  // An address without a path posts to "/".
  ASSERT_TRUE(Call(server_.Address(), {}, &result).ok());
  EXPECT_EQ(server_.last_path, "/");
}

TEST_F(DataSpaceTest, ServerAndTransportFailuresBecomeErrors) {
  CallResult result;
  server_.status = 400;
  server_.answer = R"({"error": {"number": 21, "source": "QVBO_V2.Init", "description": "gone"}})";
  ErrorInfo error = Call(server_.Address(), {}, &result);
  EXPECT_EQ(error.number, 21);
  EXPECT_EQ(error.source, "QVBO_V2.Init");
  EXPECT_EQ(error.description, "gone");

  server_.status = 500;
  server_.answer = "<html>oops</html>";
  error = Call(server_.Address(), {}, &result);
  EXPECT_EQ(error.number, kErrorBadServerAnswer);
  EXPECT_EQ(error.source, kDataSpaceSource);

  // Nothing listens on port 1; the proxy is made anyway and the call fails.
  error = Call("http://127.0.0.1:1/", {}, &result);
  EXPECT_EQ(error.number, kErrorServerUnreachable);
  EXPECT_NE(error.description.find("127.0.0.1:1"), std::string::npos);
  EXPECT_FALSE(Call("", {}, &result).ok());
}

}  // namespace
}  // namespace qv
