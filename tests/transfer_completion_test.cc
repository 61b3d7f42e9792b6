// The transfer of one file: the body in chunks with the bar and the byte
// counter, the length check, responses that are not the file, failed and
// cancelled requests, and a start-up in the middle of a body.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/engine_fixture.h"

namespace qv {
namespace {

using testing::EngineTest;
using testing::FileRecord;
using testing::MissingFileText;
using testing::Response;

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
    bool body_staged;  // the body reaches the temp folder
  };
  const std::string body = Bytes(300);
  const std::vector<Case> cases = {
      {"object.dll", Response(body, "404 Object Not Found"), false},
      {"notfound.dll", Response(body, "404 Not Found"), false},
      {"forbidden.dll", Response(body, "403 Forbidden"), false},
      {"error.dll", Response(body, "500 Internal Server Error"), false},
      {"note.dll", Response(body, "200 OK", "X-Note: 404 Object\r\n"), false},
      {"nolength.dll", {kStateResponseCompleted, "HTTP/1.1 200 OK\r\n\r\n", body, {}}, true},
      {"badlength.dll",
       {kStateResponseCompleted, "HTTP/1.1 200 OK\r\nContent-Length: 30x\r\n\r\n", body, {}},
       true},
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
    EXPECT_EQ(m_.Exists(Temp(cases[i].name)), cases[i].body_staged);
  }
  EXPECT_EQ(m_.ReadFile(Client("good.dll")), body);
  EXPECT_EQ(events_, std::vector<std::string>{"Done"});
}

TEST_F(TransferCompletionTest, OnlyAWholeBodyIsInstalled) {
  struct Case {
    const char* name;
    testing::FakeResponse response;
    size_t staged_bytes;
    bool installed;
  } cases[] = {
      {"whole chunks", Response(Bytes(3 * 2048)), 3 * 2048, true},
      {"empty", Response(""), 0, true},
      {"cut short",
       {kStateResponseCompleted,
        "HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n",
        Bytes(3000),
        {}},
       3000,
       false},
      {"zero length with data",
       {kStateResponseCompleted, "HTTP/1.1 200 OK\r\nContent-length: 0\r\n\r\n", Bytes(10), {}},
       10,
       false},
      {"one-byte chunk ends the body",
       {kStateResponseCompleted,
        "HTTP/1.1 200 OK\r\nContent-Length: 4097\r\n\r\n",
        Bytes(4097),
        {2048, 1, 2048}},
       2049,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    events_.clear();
    net_->responses[std::string(kBase) + "f.dll"] = c.response;
    control_->SetBytesCaption("before");
    m_.platform().files->DeleteFile(Client("f.dll"));
    Start({FileRecord("f.dll", "1.0.0.0")});
    Run();
    EXPECT_TRUE(m_.ui().boxes.empty());
    EXPECT_EQ(m_.Exists(Client("f.dll")), c.installed);
    const std::string kept = c.installed ? Client("f.dll") : Temp("f.dll");
    EXPECT_EQ(m_.ReadFile(kept), c.response.body.substr(0, c.staged_bytes));
    if (c.staged_bytes <= 1) {
      EXPECT_EQ(control_->panel().lblBytes.caption, "before");
    }
    EXPECT_EQ(events_, std::vector<std::string>{"Done"});
  }
}

TEST_F(TransferCompletionTest, StaleTempFileIsReplacedWhole) {
  m_.WriteFile(Temp("a.dll"), std::string(10000, 'X'));
  Serve("a.dll", "fresh");
  Start({FileRecord("a.dll", "1.0.0.0")});
  Run();
  EXPECT_EQ(m_.ReadFile(Client("a.dll")), "fresh");
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

TEST_F(TransferCompletionTest, CancelledBodyIsNotInstalledAndTheRunGoesOn) {
  Serve("a.dll", Bytes(3 * 2048));
  Serve("b.dll", "b");
  net_->before_chunk = [&](size_t handed_out) {
    // The host cancels while the first chunk's messages are processed.
    if (handed_out == 0) m_.loop().Post([this] { control_->CancelXfer(); });
  };
  Start({FileRecord("a.dll", "1.0.0.0"), FileRecord("b.dll", "1.0.0.0")});
  Run();
  EXPECT_FALSE(m_.Exists(Client("a.dll")));
  EXPECT_EQ(m_.ReadFile(Client("b.dll")), "b");
  EXPECT_TRUE(m_.ui().boxes.empty());
  EXPECT_EQ(events_, std::vector<std::string>{"Done"});
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
  EXPECT_EQ(m_.ReadFile(Temp("a.dll")), Bytes(2048));
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

}  // namespace
}  // namespace qv
