// qvinit against a hostile peer of the test's own on 127.0.0.1: a file server
// that lies about lengths, cuts bodies, never ends them, loops redirects,
// answers with garbage; and a login server whose answer is garbage or a
// gzip bomb. For each reply: qvinit ends with the status and the message
// docs/reliability.md gives for it, the file already in the client folder
// keeps its bytes, nothing half-written is left in the client or staging
// folder, and qvinit's peak memory stays within its bound.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "tests/qvinit_fixture.h"
#include "tests/raw_http_server.h"
#include "tests/test_util.h"

namespace qv::testing {
namespace {

using ::testing::HasSubstr;
using Reply = RawHttpServer::Reply;

constexpr char kOldBytes[] = "the installed copy, version 1.0";
// What qvinit may hold at its peak, whatever the peer sends: a login answer
// is cut at 64 MiB (its buffer may have grown to twice that).
constexpr double kMemoryBoundMib = 192;

Reply Head(const std::string& head, const std::string& body = "") { return {head + "\r\n", body}; }

// length bytes of zeros, gzip-compressed.
std::string GzipOfZeros(size_t length) {
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY);
  const std::string zeros(1 << 20, '\0');
  std::string out(deflateBound(&z, length) + 64, '\0');
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  for (size_t left = length; left > 0;) {
    const size_t n = std::min(left, zeros.size());
    left -= n;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeros.data()));
    z.avail_in = static_cast<uInt>(n);
    deflate(&z, left == 0 ? Z_FINISH : Z_NO_FLUSH);
  }
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

struct HostileCase {
  const char* name;
  Reply reply;
  int exit_code;                      // qvinit's exit status
  std::string box_part;               // in the message boxes' texts ("" for none)
  std::string installed = kOldBytes;  // the client folder's copy afterwards
};

class HostilePeerTest : public QvinitTest {
 protected:
  // Runs the list's one file from the peer; checks what every case must
  // hold and returns the outcome.
  Outcome RunAgainst(const std::string& download, const std::string& bo, double* rss,
                     const std::string& installed = kOldBytes) {
    const std::string machine = NewMachine("m");
    WriteHostFile(machine + "/" + kClient + "target.dll", kOldBytes);
    Outcome o = Qvinit(machine, OnlineFrom(download, bo), "demo", rss);
    EXPECT_EQ(ReadHostFile(machine + "/" + kClient + "target.dll"), installed);
    for (const char* folder : {"Client", "Temp"}) {
      const std::string path = machine + "/drive_c/Program Files/Ostrel/Quillmark/" + folder;
      for (const auto& entry : fs::directory_iterator(path)) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "target.dll") << "left behind: " << folder << "/" << name;
      }
    }
    RemoveTree(machine);
    return o;
  }
};

TEST_F(HostilePeerTest, AFileServerThatLiesNeverGetsAFileInstalled) {
  RawHttpServer peer;
  const std::string ok = "HTTP/1.1 200 OK\r\n";
  const std::string failed = "There was an error downloading file " + peer.Url("/target.dll");
  const std::string missing = failed + "\rInstallation of other files will be completed";
  Reply endless = Head(ok, std::string(1 << 16, 'x'));
  endless.repeat = true;
  endless.repeat_limit = size_t{600} << 20;
  Reply huge_header =
      Head(ok + "X-Filler: " + std::string(2 << 20, 'h') + "\r\nContent-Length: 4\r\n", "MZ..");
  // Exit 3: the transfer failed and the run halted there. Exit 0: the run
  // went on; a body that is not whole is passed over without a word (the
  // next run fetches it again), one that could not be had is reported.
  const std::vector<HostileCase> cases = {
      {"an honest reply (the checks can fail)", Head(ok + "Content-Length: 9\r\n", "MZ honest"), 0,
       "", "MZ honest"},
      {"a body longer than announced", Head(ok + "Content-Length: 4\r\n", "MZ.. and more"), 0, ""},
      {"a body cut short", Head(ok + "Content-Length: 1000\r\n", "MZ.."), 0, ""},
      {"a huge announced length, a short body",
       Head(ok + "Content-Length: 999999999999999\r\n", "MZ.."), 0, missing},
      {"a negative length", Head(ok + "Content-Length: -4\r\n", "MZ.."), 3, failed},
      {"two lengths that differ",
       Head(ok + "Content-Length: 4\r\nContent-Length: 8\r\n", "MZ..MZ.."), 0,
       "the server sent more than the 4 bytes it announced"},
      {"an endless body without a length", endless, 0,
       "the server sent more than 536870912 bytes without announcing a length"},
      {"chunks that never end",
       Head(ok + "Transfer-Encoding: chunked\r\n", RawHttpServer::Chunk("MZ..")), 0, missing},
      {"a redirect to itself",
       Head("HTTP/1.1 302 Found\r\nLocation: /target.dll\r\nContent-Length: 0\r\n"), 3, failed},
      {"a redirect to a local file",
       Head("HTTP/1.1 302 Found\r\nLocation: file:///etc/passwd\r\nContent-Length: 0\r\n"), 3,
       failed},
      {"an error status with a body",
       Head("HTTP/1.1 500 Oops\r\nContent-Length: 9\r\n", "MZ.broken"), 0, missing},
      {"HTTP/0.9 garbage", {"MZ garbage without a status line\r\n", ""}, 3, failed},
      {"a 2 MB header", huge_header, 3, failed},
      {"a hundred informational replies",
       [] {
         std::string head;
         for (int i = 0; i < 100; ++i) head += "HTTP/1.1 100 Continue\r\n\r\n";
         return Reply{head, ""};
       }(),
       3, failed},
  };
  PutList({{1, "target.dll", "target.dll", 2, "2.0", "CLIENTDIR"}});
  for (const HostileCase& c : cases) {
    SCOPED_TRACE(c.name);
    peer.Set("/target.dll", c.reply);
    double rss = 0;
    Outcome o = RunAgainst(peer.Url("/"), server_->base_url() + "/bo", &rss, c.installed);
    EXPECT_EQ(o.exit_code, c.exit_code) << o.err;
    if (c.box_part.empty()) {
      EXPECT_EQ(o.Boxes(), "");
    } else {
      EXPECT_THAT(o.Boxes(), HasSubstr(c.box_part));
    }
    if (!kSanitized) {
      EXPECT_LT(rss, kMemoryBoundMib);
    }
  }
}

TEST_F(HostilePeerTest, ALoginServerThatLiesEndsTheStartUpWithAnError) {
  RawHttpServer peer;
  const std::string bomb = GzipOfZeros(size_t{256} << 20);
  const std::vector<HostileCase> cases = {
      {"garbage as the answer", Head("HTTP/1.1 200 OK\r\nContent-Length: 7\r\n", "garbage"), 1, ""},
      {"a gzip bomb as the answer",
       Head("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Encoding: gzip\r\n"
            "Content-Length: " +
                std::to_string(bomb.size()) + "\r\n",
            bomb),
       1, ""},
      {"an error status with a body", Head("HTTP/1.1 503 Busy\r\nContent-Length: 4\r\n", "busy"), 1,
       ""},
  };
  for (const HostileCase& c : cases) {
    SCOPED_TRACE(c.name);
    peer.Set("/bo", c.reply);
    double rss = 0;
    Outcome o = RunAgainst(server_->base_url() + "/", peer.Url("/bo"), &rss);
    EXPECT_EQ(o.exit_code, c.exit_code) << o.err;
    EXPECT_NE(o.Find("error"), nullptr) << "the start-up's error reaches the host";
    if (!kSanitized) {
      EXPECT_LT(rss, kMemoryBoundMib);
    }
  }
}

}  // namespace
}  // namespace qv::testing
