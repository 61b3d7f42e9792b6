// qvserver killed with SIGKILL in the middle of what it writes: `list
// import`, `user add`, `publish` and `serve` while a client downloads. After
// every kill the database passes SQLite's integrity check, a list is the one
// before or the one imported (never a mixture), a published file is absent or
// whole, and the next command of the same kind succeeds and leaves nothing of
// the killed one behind.
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/child_process.h"
#include "tests/qvinit_fixture.h"
#include "tests/test_util.h"

namespace qv::testing {
namespace {

using Clock = std::chrono::steady_clock;

// QV_SERVER_KILLS sets the kills of each case (6 by default).
const int kKillsPerCase = [] {
  const char* value = std::getenv("QV_SERVER_KILLS");
  return value != nullptr && std::atoi(value) > 0 ? std::atoi(value) : 6;
}();

// A list of n records: large enough that its import takes a while.
std::string BigList(int n, const std::string& tag) {
  std::vector<ListRecord> records;
  for (int i = 1; i <= n; ++i) {
    records.push_back({i, tag + std::to_string(i) + ".dll", "files/" + tag + std::to_string(i),
                       2, "1.0.0." + std::to_string(i), "CLIENTDIR"});
  }
  return ListDocument(records);
}

class ServerKillTest : public ::testing::Test {
 protected:
  ServerKillTest() : dir_(MakeTempDir("qvkill")), db_(dir_ + "/db"), files_(dir_ + "/files") {
    EXPECT_EQ(Server({"init", db_}).exit_code, 0);
    EXPECT_EQ(Server({"user", "add", db_, "KEY", "alice"}, "pw\n").exit_code, 0);
    fs::create_directories(files_);
  }
  ~ServerKillTest() override { RemoveTree(dir_); }

  static CommandResult Server(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), QvserverPath());
    return RunCommand(args, input);
  }

  // Starts qvserver with args and kills it after a random part of `span`.
  void KillDuring(const std::vector<std::string>& args, std::chrono::microseconds span) {
    std::vector<std::string> argv = {QvserverPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    Child child(argv, {}, false);
    ASSERT_TRUE(child.started());
    std::uniform_int_distribution<int64_t> at(0, span.count());
    std::this_thread::sleep_for(std::chrono::microseconds(at(random_)));
    child.Signal(SIGKILL);
    child.Wait();
    EXPECT_EQ(IntegrityCheck(db_), "ok");
  }

  // How long args takes when nothing stops it.
  static std::chrono::microseconds Duration(const std::vector<std::string>& args,
                                            const std::string& input = "") {
    const auto start = Clock::now();
    EXPECT_EQ(Server(args, input).exit_code, 0);
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
  }

  std::string dir_, db_, files_;
  std::mt19937 random_{7};
};

TEST_F(ServerKillTest, AKilledListImportLeavesTheOldListOrTheNewOne) {
  const std::string old_list = dir_ + "/old.rst", new_list = dir_ + "/new.rst";
  // Under the sanitizers an import is many times slower; a third of the
  // records still takes long enough to be killed in the middle.
  const int records = kSanitized ? 20000 : 60000;
  WriteHostFile(old_list, BigList(records, "old"));
  WriteHostFile(new_list, BigList(records, "new"));
  const auto span = Duration({"list", "import", db_, "KEY", old_list});
  const std::string exported = dir_ + "/export.rst";
  ASSERT_EQ(Server({"list", "export", db_, "KEY", exported}).exit_code, 0);
  const std::string old_text = ReadHostFile(exported);
  ASSERT_EQ(Server({"list", "import", db_, "KEY", new_list}).exit_code, 0);
  ASSERT_EQ(Server({"list", "export", db_, "KEY", exported}).exit_code, 0);
  const std::string new_text = ReadHostFile(exported);
  ASSERT_NE(old_text, new_text);
  for (int kill = 0; kill < kKillsPerCase; ++kill) {
    ASSERT_EQ(Server({"list", "import", db_, "KEY", old_list}).exit_code, 0);
    KillDuring({"list", "import", db_, "KEY", new_list}, span);
    ASSERT_EQ(Server({"list", "export", db_, "KEY", exported}).exit_code, 0);
    const std::string text = ReadHostFile(exported);
    EXPECT_TRUE(text == old_text || text == new_text) << "kill " << kill << ": a mixed list";
  }
  EXPECT_EQ(Server({"list", "import", db_, "KEY", new_list}).exit_code, 0);
  EXPECT_EQ(HostNames(dir_),
            (std::vector<std::string>{"db", "export.rst", "files", "new.rst", "old.rst"}))
      << "a killed import left a file beside the database";
}

TEST_F(ServerKillTest, AKilledUserAddOrPublishLeavesNothingHalfDone) {
  const std::string big = dir_ + "/big.bin";
  WriteHostFile(big, std::string(size_t{96} << 20, 'b'));
  const auto user_span = Duration({"user", "add", db_, "KEY", "probe"}, "pw\n");
  const auto publish_span = Duration({"publish", db_, files_, big, "--as", "probe.bin"});
  for (int kill = 0; kill < kKillsPerCase; ++kill) {
    const std::string name = "user" + std::to_string(kill);
    KillDuring({"user", "add", db_, "KEY", name}, user_span);
    // Added whole or not at all: adding again either succeeds or says the
    // user is there.
    const CommandResult again = Server({"user", "add", db_, "KEY", name}, "pw\n");
    EXPECT_TRUE(again.exit_code == 0 || again.err.find("already") != std::string::npos)
        << again.err;

    const std::string as = "p" + std::to_string(kill) + ".bin";
    KillDuring({"publish", db_, files_, big, "--as", as}, publish_span);
    if (HostExists(files_ + "/" + as)) {
      EXPECT_EQ(fs::file_size(files_ + "/" + as), fs::file_size(big)) << as << " is half-written";
    }
  }
  // The next publish takes away what the killed ones left.
  ASSERT_EQ(Server({"publish", db_, files_, big, "--as", "last.bin"}).exit_code, 0);
  for (const std::string& name : HostNames(files_)) {
    EXPECT_EQ(name.find(".tmp"), std::string::npos) << "left behind: " << name;
  }
}

TEST_F(ServerKillTest, AServerKilledWhileServingServesAgain) {
  const size_t size = size_t{64} << 20;
  WriteHostFile(files_ + "/big.bin", std::string(size, 's'));
  auto serve = [&] {
    return std::make_unique<Child>(std::vector<std::string>{QvserverPath(), "serve", db_, "--files",
                                                            files_, "--listen", "127.0.0.1:0"},
                                   std::vector<std::string>{}, true);
  };
  for (int kill = 0; kill < 3; ++kill) {
    auto server = serve();
    const std::string host = server->ListeningAddress(std::chrono::seconds(10));
    ASSERT_FALSE(host.empty());
    std::thread download([host] { httplib::Client(host).Get("/big.bin"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20 * kill));
    server->Signal(SIGKILL);
    server->Wait();
    download.join();
    EXPECT_EQ(IntegrityCheck(db_), "ok");
  }
  auto server = serve();
  const std::string host = server->ListeningAddress(std::chrono::seconds(10));
  ASSERT_FALSE(host.empty());
  auto got = httplib::Client(host).Get("/big.bin");
  ASSERT_TRUE(got);
  EXPECT_EQ(got->status, 200);
  EXPECT_EQ(got->body.size(), size);
}

}  // namespace
}  // namespace qv::testing
