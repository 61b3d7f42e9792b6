// The transfer of one file: the body in chunks with the bar and the byte
// counter, responses that are not the file, failed requests, and a start-up
// in the middle of a body; then, through the real transfer and a server that
// sends exactly what a broken or hostile one would, which bodies are
// installed, that a file a pending replacement names is never rewritten,
// and that a slow body leaves the host responsive.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/sandbox/sandbox_file_system.h"
#include "state/module_state.h"
#include "tests/engine_fixture.h"
#include "tests/raw_http_server.h"

namespace qv {
namespace {

using testing::EngineTest;
using testing::FileRecord;
using testing::MissingFileText;
using testing::RawHttpServer;
using testing::Response;
using Reply = RawHttpServer::Reply;
using Clock = std::chrono::steady_clock;

std::string Bytes(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
  return s;
}

class TransferCompletionTest : public EngineTest {};

TEST_F(TransferCompletionTest, ProgressFollowsTheBytesReceived) {
  testing::FakeResponse r = Response(Bytes(5120));
  r.chunks = {500, 1036, 1024, 2048, 512};
  net_->responses[kBase + std::string("a.dll")] = r;
  std::vector<float> bars;
  std::vector<std::string> counters;
  net_->before_chunk = [&](size_t handed_out) {
    if (handed_out == 0) return;
    bars.push_back(control_->panel().prgCurrent.width);
    counters.push_back(control_->panel().lblBytes.caption);
  };
  Start({FileRecord("a.dll", "1.0.0.0")});
  Run();
  std::vector<float> expected_bars;
  for (double received : {500.0, 1536.0, 2560.0, 4608.0, 5120.0}) {
    expected_bars.push_back(static_cast<float>(received / 5120 * 4335));
  }
  EXPECT_EQ(bars, expected_bars);
  // Halves round to the even neighbour: 1536 and 2560 bytes are both 2k,
  // 4608 bytes 4k.
  EXPECT_EQ(counters,
            (std::vector<std::string>{"0k of 5k", "2k of 5k", "2k of 5k", "4k of 5k", "5k of 5k"}));
  EXPECT_EQ(m_.ReadFile(Client("a.dll")), Bytes(5120));
  EXPECT_EQ(events_, std::vector<std::string>{"Done"});
}

TEST_F(TransferCompletionTest, ResponsesThatAreNotTheFileAreNotInstalled) {
  struct Case {
    const char* name;
    testing::FakeResponse response;
  };
  const std::string body = Bytes(300);
  const std::vector<Case> cases = {
      {"object.dll", Response(body, "404 Object Not Found")},
      {"notfound.dll", Response(body, "404 Not Found")},
      {"forbidden.dll", Response(body, "403 Forbidden")},
      {"error.dll", Response(body, "500 Internal Server Error")},
      {"note.dll", Response(body, "200 OK", "X-Note: 404 Object\r\n")},
      {"badlength.dll",
       {kStateResponseCompleted, "HTTP/1.1 200 OK\r\nContent-Length: 30x\r\n\r\n", body, {}}},
  };
  std::vector<InstallRecord> records;
  for (const Case& c : cases) {
    records.push_back(FileRecord(c.name, "1.0.0.0"));
    net_->responses[kBase + std::string(c.name)] = c.response;
  }
  // The missing-object text counts in exact case only.
  records.push_back(FileRecord("good.dll", "1.0.0.0"));
  net_->responses[kBase + std::string("good.dll")] =
      Response(body, "200 OK", "X-Note: 404 object\r\n");
  Start(records);
  Run();

  ASSERT_EQ(m_.ui().boxes.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_EQ(m_.ui().boxes[i].text, MissingFileText(kBase + std::string(cases[i].name)));
    EXPECT_EQ(m_.ui().boxes[i].style, 0);
    EXPECT_FALSE(m_.Exists(Client(cases[i].name)));
    EXPECT_FALSE(m_.Exists(Temp(cases[i].name)));
  }
  EXPECT_EQ(m_.ReadFile(Client("good.dll")), body);
  EXPECT_EQ(TempNames("~qv"), std::vector<std::string>{});
  EXPECT_EQ(events_, std::vector<std::string>{"Done"});
}

TEST_F(TransferCompletionTest, RunWithoutATransferComponentHaltsAtTheFirstFetch) {
  control_->Inet1.reset();
  Start({FileRecord("b.dll", "1.0.0.0"), FileRecord("c.dll", "1.0.0.0")});
  Run();
  ASSERT_EQ(m_.ui().boxes.size(), 1u);
  EXPECT_EQ(m_.ui().boxes[0].text,
            std::string("There was an error downloading file ") + kBase + "b.dll");
  EXPECT_EQ(m_.ui().boxes[0].style, 0);
  EXPECT_TRUE(events_.empty());
}

TEST_F(TransferCompletionTest, StartUpDuringTheBodyInstallsNothingOfTheOldRun) {
  Serve("a.dll", Bytes(3 * 2048));
  Serve("c.dll", "c");
  net_->before_chunk = [&](size_t handed_out) {
    if (handed_out != 0) return;
    // A start-up reached from the messages processed after the first chunk.
    m_.loop().Post([this] {
      control_->msTargetPath = Client("other.dll");
      control_->msFileName = "other.dll";
      net_->before_chunk = nullptr;
      Start({FileRecord("c.dll", "1.0.0.0")});
    });
  };
  Start({FileRecord("a.dll", "1.0.0.0")});
  Run();
  EXPECT_FALSE(m_.Exists(Client("a.dll")));
  EXPECT_FALSE(m_.Exists(Client("other.dll")));
  EXPECT_FALSE(m_.Exists(Temp("a.dll")));
  EXPECT_EQ(TempNames("~qv"), std::vector<std::string>{});
  EXPECT_EQ(m_.ReadFile(Client("c.dll")), "c");
  EXPECT_EQ(events_, std::vector<std::string>{"Done"});

  // A completion that arrives after a new start-up belongs to no request of
  // the new run and is dropped.
  events_.clear();
  Serve("d.dll", "d");
  Start({FileRecord("d.dll", "1.0.0.0")});
  control_->tmrComInstall_Timer();  // d's request is under way
  Start({});
  Run();
  EXPECT_FALSE(m_.Exists(Client("d.dll")));
  EXPECT_EQ(events_, std::vector<std::string>{"Done"});
}

// ---- Through the real transfer ------------------------------------------

class RealTransferTest : public EngineTest {
 protected:
  RealTransferTest() { UseRealTransfer(server_.Url("/")); }

  // Runs a list of name alone, the body served as reply.
  void RunOne(const std::string& name, const Reply& reply) {
    server_.Set("/" + name, reply);
    m_.ui().boxes.clear();
    events_.clear();
    Start({FileRecord(name, "1.0.0.0")});
    Run();
  }

  RawHttpServer server_;
};

TEST_F(RealTransferTest, OnlyACompleteBodyReplacesTheInstalledFile) {
  const std::string old_file(1536, 'o');
  const std::string data = Bytes(5120);
  const std::string zero = "HTTP/1.1 200 OK\r\nContent-length: 0\r\n\r\n";
  Reply later{zero, data, 0, std::chrono::milliseconds(5)};
  later.close = false;
  Reply endless_chunks{RawHttpServer::kChunkedHead, RawHttpServer::Chunk(data)};
  endless_chunks.repeat = true;
  Reply overrun = endless_chunks;
  overrun.head = "HTTP/1.1 200 OK\r\nContent-Length: 3000\r\nTransfer-Encoding: chunked\r\n\r\n";
  Reply endless_stream{"HTTP/1.1 200 OK\r\n\r\n", data};
  endless_stream.repeat = true;
  control_->SetUnannouncedBodyLimit(1 << 20);
  const std::string url = server_.Url("/f.dll");
  const std::string too_large =
      "There was an error downloading file " + url + ": the server sent more than ";
  const std::string rest =
      ".\rInstallation of other files will be completed, but this may cause future errors."
      "\rPlease contact the Ostrel technical support team about this matter.";
  const struct {
    const char* name;
    Reply reply;
    std::string installed;  // the file afterwards
    std::string box;        // the message shown, if any
  } cases[] = {
      {"whole", RawHttpServer::WithLength(data), data, ""},
      {"empty", RawHttpServer::WithLength(""), "", ""},
      {"chunked with its end",
       {RawHttpServer::kChunkedHead, RawHttpServer::Chunk(data) + RawHttpServer::kLastChunk},
       data,
       ""},
      {"chunked, cut short",
       {RawHttpServer::kChunkedHead, RawHttpServer::Chunk(data)},
       old_file,
       MissingFileText(url)},
      {"until the connection closes",
       {"HTTP/1.1 200 OK\r\n\r\n", data},
       old_file,
       MissingFileText(url)},
      {"cut short", RawHttpServer::WithLength(data.substr(0, 3000), 5120), old_file, ""},
      {"zero length, then data", {zero + data, ""}, old_file, ""},
      {"zero length, data a moment later", later, old_file, ""},
      {"more than announced", overrun, old_file, too_large + "the 3000 bytes it announced" + rest},
      {"endless chunks", endless_chunks, old_file,
       too_large + "1048576 bytes without announcing a length" + rest},
      {"endless until close", endless_stream, old_file,
       too_large + "1048576 bytes without announcing a length" + rest},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    m_.WriteFile(Client("f.dll"), old_file);
    RunOne("f.dll", c.reply);
    EXPECT_EQ(m_.ReadFile(Client("f.dll")), c.installed);
    std::vector<std::string> boxes;
    for (const auto& b : m_.ui().boxes) boxes.push_back(b.text);
    EXPECT_EQ(boxes, c.box.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.box});
    EXPECT_EQ(events_, std::vector<std::string>{"Done"});
    EXPECT_EQ(TempNames(""), std::vector<std::string>{}) << "nothing is left in the temp folder";
  }
}

TEST_F(RealTransferTest, AFileThatAPendingReplacementNamesIsNeverRewritten) {
  // The installed file is in use: the first body waits in the temp folder
  // for the next start.
  m_.WriteFile(Client("busy.dll"), "old");
  m_.machine().mutable_profile()->files_in_use.push_back({Client("busy.dll"), false});
  const std::string first = Bytes(6000);
  RunOne("busy.dll", RawHttpServer::WithLength(first));
  ASSERT_EQ(m_.ReadFile(Temp("busy.dll")), first);
  ASSERT_NE(m_.Hklm(sandbox::kSessionManagerKey, sandbox::kPendingRenamesValue)
                .value_or("")
                .find(Temp("busy.dll")),
            std::string::npos);

  // Later runs whose bodies fail leave it whole.
  Reply endless{RawHttpServer::kChunkedHead, RawHttpServer::Chunk(Bytes(4096))};
  endless.repeat = true;
  control_->SetUnannouncedBodyLimit(1 << 20);
  Reply trickle{"HTTP/1.1 200 OK\r\nContent-Length: 6000\r\n\r\n", "ab", 2,
                std::chrono::milliseconds(100), true};
  trickle.repeat_limit = 60;
  const struct {
    const char* name;
    Reply reply;
  } failures[] = {
      {"cut short", RawHttpServer::WithLength(Bytes(100), 6000)},
      {"zero length, then data", {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n" + first, ""}},
      {"chunked, cut short", {RawHttpServer::kChunkedHead, RawHttpServer::Chunk(Bytes(100))}},
      {"endless", endless},
      {"too slow", trickle},
  };
  for (const auto& f : failures) {
    SCOPED_TRACE(f.name);
    RunOne("busy.dll", f.reply);
    EXPECT_EQ(m_.ReadFile(Temp("busy.dll")), first);
    EXPECT_EQ(TempNames("~qv"), std::vector<std::string>{});
  }
  // A complete body takes its place whole.
  const std::string second = Bytes(7000);
  RunOne("busy.dll", RawHttpServer::WithLength(second));
  EXPECT_EQ(m_.ReadFile(Temp("busy.dll")), second);
  EXPECT_EQ(m_.ReadFile(Client("busy.dll")), "old");
}

TEST_F(RealTransferTest, ASlowBodyLeavesTheHostResponsive) {
  // Two bytes every 100 ms for five seconds, of 100000 announced.
  Reply trickle{"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n", "ab", 2,
                std::chrono::milliseconds(100), true};
  trickle.repeat_limit = 100;
  server_.Set("/a.dll", trickle);
  server_.Set("/b.dll", RawHttpServer::WithLength("b"));
  server_.Set("/c.dll", trickle);
  server_.Set("/d.dll", RawHttpServer::WithLength("d"));

  // The host's own timer, and a cancel due 500 ms after the start.
  int ticks = 0;
  std::unique_ptr<Timer> host_timer = m_.loop().CreateTimer(20, [&] { ++ticks; });
  int ticks_at_cancel = -1;
  const Clock::time_point cancel_due = Clock::now() + std::chrono::milliseconds(500);
  std::unique_ptr<Timer> cancel;
  cancel = m_.loop().CreateTimer(500, [&] {
    cancel->SetEnabled(false);
    ticks_at_cancel = ticks;
    control_->CancelXfer();
  });
  host_timer->SetEnabled(true);
  cancel->SetEnabled(true);
  Start({FileRecord("a.dll", "1.0.0.0"), FileRecord("b.dll", "1.0.0.0"),
         FileRecord("c.dll", "1.0.0.0"), FileRecord("d.dll", "1.0.0.0")});
  m_.loop().RunUntil([this] { return !events_.empty(); });
  host_timer->SetEnabled(false);

  EXPECT_GE(ticks_at_cancel, 5) << "the host's timer ticks while the body is awaited";
  Clock::time_point b_asked, d_asked;
  for (const auto& [path, when] : server_.Requests()) {
    if (path == "/b.dll") b_asked = when;
    if (path == "/d.dll") d_asked = when;
  }
  // The cancelled body ends at once; the run goes on with the next record.
  const double delay = std::chrono::duration<double>(b_asked - cancel_due).count();
  std::printf("cancel due at 500 ms: the next file was asked for %.3f s later\n", delay);
  EXPECT_LT(delay, 2.0);
  // The trickle that is not cancelled fails after the rate window.
  EXPECT_LT(d_asked - b_asked, std::chrono::seconds(4));
  EXPECT_FALSE(m_.Exists(Client("a.dll")));
  EXPECT_EQ(m_.ReadFile(Client("b.dll")), "b");
  EXPECT_FALSE(m_.Exists(Client("c.dll")));
  EXPECT_EQ(m_.ReadFile(Client("d.dll")), "d");
  EXPECT_TRUE(m_.ui().boxes.empty());
  EXPECT_EQ(events_, std::vector<std::string>{"Done"});
}

}  // namespace
}  // namespace qv
