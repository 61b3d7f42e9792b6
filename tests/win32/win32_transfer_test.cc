// The WinINet transfer against a real HTTP server on 127.0.0.1, started by
// run_wine_tests.sh: QV_TEST_HTTP is its address (it serves body.bin, whose
// byte i is i * 7 % 251), QV_TEST_CLOSED an address where nothing listens.
#include "platform/win32/win32_transfer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace qv::win32 {
namespace {

constexpr size_t kBodyBytes = 1 << 20;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? "" : value;
}

// Runs the loop until the transfer reports a state; returns it.
int AwaitState(EventLoop* loop, Transfer* transfer) {
  int state = 0;
  transfer->SetStateChangedHandler([&](int s) { state = s; });
  loop->RunUntil([&] { return state != 0; });
  return state;
}

// Reads the body as the control does: ChunkReady, the loop while it waits.
std::vector<uint8_t> ReadBody(EventLoop* loop, Transfer* transfer, size_t chunk_size) {
  std::vector<uint8_t> body;
  while (true) {
    loop->RunUntil([&] { return transfer->ChunkReady(chunk_size); });
    const std::vector<uint8_t> chunk = transfer->GetChunk(chunk_size);
    if (chunk.empty()) return body;
    body.insert(body.end(), chunk.begin(), chunk.end());
  }
}

class Win32TransferTest : public testing::Test {
 protected:
  void SetUp() override {
    server_ = Env("QV_TEST_HTTP");
    if (server_.empty()) GTEST_SKIP() << "QV_TEST_HTTP is not set (run_wine_tests.sh sets it)";
  }
  std::string server_;
  EventLoop loop_;
};

TEST_F(Win32TransferTest, AnswersCarryTheirStateHeaderAndBody) {
  struct Case {
    std::string url;
    int state;
    std::string status;  // the start of the header
    size_t body_bytes;
    bool confirmed;
    size_t buffer_bytes = 64 << 10;
  };
  const Case cases[] = {
      {server_ + "/body.bin", kStateResponseCompleted, "HTTP/1.0 200", kBodyBytes, true, 64 << 10},
      // Reads that grow to 1 MiB, the whole body.
      {server_ + "/body.bin", kStateResponseCompleted, "HTTP/1.0 200", kBodyBytes, true, 4 << 20},
      {server_ + "/missing.bin", kStateResponseCompleted, "HTTP/1.0 404", 0, false},
      {Env("QV_TEST_CLOSED") + "/body.bin", kStateError, "", 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    Win32Transfer transfer(&loop_, {.buffer_bytes = c.buffer_bytes});
    ASSERT_TRUE(transfer.Execute(c.url, "GET", "", "Accept: */*\r\n").ok());
    EXPECT_EQ(transfer.url(), c.url);
    ASSERT_EQ(AwaitState(&loop_, &transfer), c.state);
    EXPECT_EQ(transfer.GetHeader("").substr(0, c.status.size()), c.status);
    if (c.state != kStateResponseCompleted) continue;
    const std::vector<uint8_t> body = ReadBody(&loop_, &transfer, 3000);
    if (c.body_bytes > 0) {
      ASSERT_EQ(body.size(), c.body_bytes);
      EXPECT_EQ(transfer.GetHeader("content-length"), std::to_string(c.body_bytes));
      for (size_t i = 0; i < body.size(); ++i) ASSERT_EQ(body[i], i * 7 % 251) << i;
      EXPECT_EQ(transfer.BodyEndConfirmed(), c.confirmed);
    }
    EXPECT_TRUE(loop_.RunUntilIdle());  // the request holds the loop no longer
  }
}

TEST_F(Win32TransferTest, ACancelledBodyEndsAndTheTransferServesTheNextRequest) {
  Win32Transfer transfer(&loop_, {.buffer_bytes = 16 * 1024});
  ASSERT_TRUE(transfer.Execute(server_ + "/body.bin", "GET", "", "").ok());
  ASSERT_EQ(AwaitState(&loop_, &transfer), kStateResponseCompleted);
  EXPECT_EQ(transfer.GetChunk(1000).size(), 1000u);
  transfer.Cancel();
  EXPECT_TRUE(transfer.ChunkReady(1000));
  EXPECT_TRUE(transfer.GetChunk(1000).empty());
  EXPECT_FALSE(transfer.BodyEndConfirmed());
  EXPECT_TRUE(loop_.RunUntilIdle());

  ASSERT_TRUE(transfer.Execute(server_ + "/body.bin", "GET", "", "").ok());
  ASSERT_EQ(AwaitState(&loop_, &transfer), kStateResponseCompleted);
  EXPECT_EQ(ReadBody(&loop_, &transfer, 65536).size(), kBodyBytes);
  EXPECT_TRUE(transfer.BodyEndConfirmed());
}

TEST_F(Win32TransferTest, OnlyABodyThatEndsAtItsAnnouncedLengthIsConfirmed) {
  struct Case {
    std::string path;  // what the server sends there
    std::string body;
    bool confirmed;
  };
  const Case cases[] = {
      {"/exact", "abc", true},              // Content-Length: 3, "abc"
      {"/excess", "abc", false},            // Content-Length: 3, "abcdefgh"
      {"/zero-then-data", "", false},       // Content-Length: 0, "abcdefgh"
      {"/exact", "abc", true},              // the kept connection serves on
  };
  Win32Transfer transfer(&loop_);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    ASSERT_TRUE(transfer.Execute(server_ + c.path, "GET", "", "").ok());
    ASSERT_EQ(AwaitState(&loop_, &transfer), kStateResponseCompleted);
    const std::vector<uint8_t> body = ReadBody(&loop_, &transfer, 1000);
    EXPECT_EQ(std::string(body.begin(), body.end()), c.body);
    EXPECT_EQ(transfer.BodyEndConfirmed(), c.confirmed);
  }
}

// How many requests the server's /silent path has taken.
int SilentRequestsSeen(EventLoop* loop, const std::string& server) {
  Win32Transfer probe(loop);
  if (!probe.Execute(server + "/silent-seen", "GET", "", "").ok() ||
      AwaitState(loop, &probe) != kStateResponseCompleted) {
    return -1;
  }
  const std::vector<uint8_t> body = ReadBody(loop, &probe, 100);
  return std::stoi(std::string(body.begin(), body.end()));
}

TEST_F(Win32TransferTest, ACancelLetsGoOfASilentServerAtOnce) {
  const int before = SilentRequestsSeen(&loop_, server_);
  ASSERT_GE(before, 0);
  Win32Transfer transfer(&loop_);
  ASSERT_TRUE(transfer.Execute(server_ + "/silent", "GET", "", "").ok());
  // Cancelled once the server holds the request and the worker waits for
  // its answer.
  int seen = before;
  for (int i = 0; i < 200 && seen == before; ++i) seen = SilentRequestsSeen(&loop_, server_);
  ASSERT_EQ(seen, before + 1);
  transfer.Cancel();

  // The next request is answered long before the silent one would time out
  // (60 s): the worker is free.
  ASSERT_TRUE(transfer.Execute(server_ + "/body.bin", "GET", "", "").ok());
  int state = 0;
  bool gave_up = false;
  transfer.SetStateChangedHandler([&](int s) { state = s; });
  auto limit = loop_.CreateTimer(10000, [&] { gave_up = true; });
  limit->SetEnabled(true);
  loop_.RunUntil([&] { return state != 0 || gave_up; });
  ASSERT_EQ(state, kStateResponseCompleted);
  EXPECT_EQ(ReadBody(&loop_, &transfer, 65536).size(), kBodyBytes);
  EXPECT_TRUE(transfer.BodyEndConfirmed());
}

TEST_F(Win32TransferTest, OnlyPlainGetRequestsAreMade) {
  Win32Transfer transfer(&loop_);
  EXPECT_FALSE(transfer.Execute(server_ + "/body.bin", "POST", "", "").ok());
  EXPECT_FALSE(transfer.Execute(server_ + "/body.bin", "GET", "data", "").ok());
  EXPECT_TRUE(loop_.Idle());
}

}  // namespace
}  // namespace qv::win32
