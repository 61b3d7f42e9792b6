// Several qvserver instances behind nginx, as deploy/nginx.conf.in sets them
// up: two instances on one database (one SQLite file, or PostgreSQL),
// client runs through nginx's address, and one instance killed with SIGKILL
// while runs are under way. Every run must still finish and install what a
// run against a single server does: a business call that finds the dead
// instance is sent to the other one.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/child_process.h"
#include "tests/postgres_server.h"
#include "tests/qvinit_fixture.h"
#include "tests/test_util.h"

namespace qv::testing {
namespace {

constexpr char kNginx[] = "/usr/sbin/nginx";
constexpr auto kStartTimeout = std::chrono::seconds(10);

// Replaces every "@NAME@" of text by its value.
std::string Fill(std::string text, const std::map<std::string, std::string>& values) {
  for (const auto& [name, value] : values) {
    const std::string word = "@" + name + "@";
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at)) {
      text.replace(at, word.size(), value);
      at += value.size();
    }
  }
  return text;
}

bool Accepts(int port) {
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(std::chrono::milliseconds(200));
  return static_cast<bool>(client.Head("/"));
}

enum class Store { kSqlite, kPostgres };

class DeployNginxTest : public QvinitTest, public ::testing::WithParamInterface<Store> {
 protected:
  void SetUp() override {
    if (::access(kNginx, X_OK) != 0) {
      GTEST_SKIP() << kNginx << " is missing (apt-get install nginx)";
    }
    std::string db = catalog_.db_path;
    if (GetParam() == Store::kPostgres) {
      // The catalog's user and list, put there with qvserver's commands.
      postgres_ = std::make_unique<PostgresDatabase>();
      db = postgres_->url();
      ASSERT_FALSE(db.empty());
      const std::string list = dir_ + "/list.rst";
      for (const auto& [args, input] :
           std::vector<std::pair<std::vector<std::string>, std::string>>{
               {{"init", db}, ""},
               {{"user", "add", db, catalog_.key_name, catalog_.login}, catalog_.password + "\n"},
               {{"list", "export", catalog_.db_path, catalog_.key_name, list}, ""},
               {{"list", "import", db, catalog_.key_name, list}, ""}}) {
        std::vector<std::string> argv = {QvserverPath()};
        argv.insert(argv.end(), args.begin(), args.end());
        const CommandResult r = RunCommand(argv, input);
        ASSERT_EQ(r.exit_code, 0) << args[0] << ": " << r.err;
      }
    }
    // nginx's workers run as nobody when the test runs as root: they pass
    // through the test's folder to the files.
    fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    // The instances are qvserver programs on that database; the
    // fixture's own server stays for the reference run only.
    std::string upstreams;
    for (int i = 0; i < 2; ++i) {
      instances_.push_back(std::make_unique<Child>(
          std::vector<std::string>{QvserverPath(), "serve", db, "--files", catalog_.files_dir,
                                   "--listen", "127.0.0.1:0", "--trusted-proxy", "127.0.0.1"},
          std::vector<std::string>{}, true));
      const std::string base = instances_.back()->ListeningAddress(kStartTimeout);
      ASSERT_EQ(base.rfind("http://", 0), 0u) << base;
      addresses_.push_back(base.substr(7));
      upstreams += "server " + addresses_.back() + " max_fails=1 fail_timeout=5s;\n";
    }
    prefix_ = dir_ + "/nginx";
    fs::create_directories(prefix_);
    port_ = FreeLoopbackPort();
    WriteHostFile(prefix_ + "/nginx.conf",
                  Fill(ReadHostFile(std::string(QV_DEPLOY_DIR) + "/nginx.conf.in"),
                       {{"PREFIX", prefix_},
                        {"LISTEN", "127.0.0.1:" + std::to_string(port_)},
                        {"FILES", catalog_.files_dir},
                        {"UPSTREAMS", upstreams}}));
    nginx_ = std::make_unique<Child>(
        std::vector<std::string>{kNginx, "-p", prefix_, "-e", prefix_ + "/error.log", "-c",
                                 prefix_ + "/nginx.conf"},
        std::vector<std::string>{}, false);
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (!Accepts(port_)) {
      ASSERT_TRUE(nginx_->Running()) << ReadHostFile(prefix_ + "/error.log");
      ASSERT_LT(std::chrono::steady_clock::now(), deadline);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  void TearDown() override {
    // nginx stops its workers on SIGTERM and then leaves; killed, it would
    // leave them behind. The instances are killed by Child.
    if (nginx_) {
      nginx_->Signal(SIGTERM);
      nginx_->Wait();
    }
    nginx_.reset();
    instances_.clear();
  }

  // A startup-v2 run onto machine against base (nginx, or the reference
  // server); its exit status and what it said.
  CommandResult Run(const std::string& machine, const std::string& base) {
    return RunCommand(
        {QvinitPath(), "--headless", "--machine", machine, "--password-stdin", "startup-v2",
         base + "/", base + "/bo", catalog_.key_name, catalog_.login, "127.0.0.1"},
        catalog_.password + "\n");
  }
  // What a run installed, less the launched program's arguments (they hold
  // the run's own login ID).
  static std::map<std::string, std::string> Installed(const std::string& machine) {
    WaitForFile(machine + "/" + kClient + "qvlaunch.args");
    std::map<std::string, std::string> state = InstalledState(machine);
    state.erase(std::string(kClient) + "qvlaunch.args");
    return state;
  }
  size_t BusinessCallsSeen() const {
    const std::string log = ReadHostFile(prefix_ + "/access.log");
    size_t count = 0;
    for (size_t at = log.find("\"POST "); at != std::string::npos;
         at = log.find("\"POST ", at + 1)) {
      ++count;
    }
    return count;
  }

  std::unique_ptr<PostgresDatabase> postgres_;
  std::vector<std::unique_ptr<Child>> instances_;
  std::vector<std::string> addresses_;
  std::unique_ptr<Child> nginx_;
  std::string prefix_;
  int port_ = 0;
};

TEST_P(DeployNginxTest, RunsFinishWhenAnInstanceIsKilledMidway) {
  const std::string reference = NewMachine("reference");
  ASSERT_EQ(Run(reference, server_->base_url()).exit_code, 0);
  const std::map<std::string, std::string> expected = Installed(reference);
  server_.reset();

  // Two runs start at once; the first instance dies as soon as nginx has
  // passed on the first business call, and two more runs follow.
  const std::string base = "http://127.0.0.1:" + std::to_string(port_);
  std::vector<std::string> machines;
  std::vector<std::future<CommandResult>> runs;
  for (int i = 0; i < 4; ++i) machines.push_back(NewMachine("m" + std::to_string(i)));
  for (int i = 0; i < 2; ++i) {
    runs.push_back(std::async(std::launch::async, [&, i] { return Run(machines[i], base); }));
  }
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (BusinessCallsSeen() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  instances_[0]->Signal(SIGKILL);
  instances_[0]->Wait();
  for (int i = 2; i < 4; ++i) {
    runs.push_back(std::async(std::launch::async, [&, i] { return Run(machines[i], base); }));
  }
  for (size_t i = 0; i < runs.size(); ++i) {
    const CommandResult result = runs[i].get();
    EXPECT_EQ(result.exit_code, 0) << "run " << i << ": " << result.err << result.out;
    EXPECT_EQ(Installed(machines[i]), expected) << "run " << i;
  }
  // Calls did reach the dead instance and were passed on.
  EXPECT_NE(ReadHostFile(prefix_ + "/error.log").find(addresses_[0]), std::string::npos)
      << ReadHostFile(prefix_ + "/error.log");
}

INSTANTIATE_TEST_SUITE_P(Stores, DeployNginxTest,
                         ::testing::Values(Store::kSqlite, Store::kPostgres),
                         [](const ::testing::TestParamInfo<Store>& info) {
                           return info.param == Store::kSqlite ? "Sqlite" : "Postgres";
                         });

}  // namespace
}  // namespace qv::testing
