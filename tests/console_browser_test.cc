// The web console used through a real browser: a headless Chromium against
// the qvserver program serving a fresh database, page by page as an
// operator clicks through it. The flows save screenshots of their pages
// to $QV_SCREENSHOT_DIR (by default the build's screenshots folder).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/child_process.h"
#include "tests/test_util.h"
#include "tests/webdriver.h"

namespace qv::testing {
namespace {

constexpr const char* kAdmin = "root";
constexpr const char* kAdminPassword = "correct horse battery";

std::string ScreenshotDir() {
  const char* dir = std::getenv("QV_SCREENSHOT_DIR");
  return dir != nullptr && *dir != '\0' ? dir : QV_SCREENSHOT_DIR;
}

// A server on a new database with one console account, and a browser.
class ConsoleBrowserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = MakeTempDir("qvconsole");
    db_ = dir_ + "/server.db";
    ASSERT_EQ(RunCommand({QvserverPath(), "init", db_}).exit_code, 0);
    ASSERT_EQ(
        RunCommand({QvserverPath(), "admin", "add", db_, kAdmin}, std::string(kAdminPassword) + "\n")
            .exit_code,
        0);
    RestartServer({});
    if (HasFatalFailure()) return;
    browser_ = std::make_unique<WebDriver>();
    ASSERT_TRUE(browser_->started());
  }
  void TearDown() override {
    browser_.reset();
    server_.reset();
    RemoveTree(dir_);
  }

  // Starts the server (again) on the fixture's database with extra_args.
  void RestartServer(const std::vector<std::string>& extra_args) {
    server_.reset();
    std::vector<std::string> argv = {QvserverPath(), "serve", db_, "--listen", "127.0.0.1:0"};
    argv.insert(argv.end(), extra_args.begin(), extra_args.end());
    server_ = std::make_unique<Child>(argv, std::vector<std::string>{}, /*stdout_pipe=*/true);
    base_url_ = server_->ListeningAddress();
    ASSERT_FALSE(base_url_.empty());
  }

  std::string Url(const std::string& path) const { return base_url_ + path; }
  bool Open(const std::string& path) { return browser_->Navigate(Url(path)); }
  std::string Path() {
    const std::string url = browser_->CurrentUrl();
    return url.rfind(base_url_, 0) == 0 ? url.substr(base_url_.size()) : url;
  }
  std::string Text(const std::string& css) { return browser_->Text(browser_->Find(css)); }

  // Types each named field of the form (a file input takes a path) and
  // presses its button.
  void Submit(const std::string& form,
              const std::vector<std::pair<std::string, std::string>>& fields) {
    for (const auto& [name, value] : fields) {
      EXPECT_TRUE(browser_->SendKeys(browser_->Find(form + " [name='" + name + "']"), value))
          << form << " " << name;
    }
    EXPECT_TRUE(browser_->ClickToLoad(browser_->Find(form + " button"))) << form;
  }
  void SignIn(const std::string& name, const std::string& password) {
    Submit("form[action='/console/login']", {{"name", name}, {"password", password}});
  }
  // Signs in with the fixture's account from the sign-in page; true when
  // the console lets it in.
  bool SignInAsAdmin() {
    Open("/console/login");
    SignIn(kAdmin, kAdminPassword);
    return Path() == "/console/users";
  }

  // The first table row whose text holds text.
  Element Row(const std::string& text) {
    for (const Element& row : browser_->FindAll("tr")) {
      if (browser_->Text(row).find(text) != std::string::npos) return row;
    }
    ADD_FAILURE() << "no row with \"" << text << "\"";
    return {};
  }

  void Screenshot(const std::string& name) {
    std::filesystem::create_directories(ScreenshotDir());
    EXPECT_TRUE(browser_->Screenshot(ScreenshotDir() + "/" + name));
  }

  std::string dir_;
  std::string db_;
  std::string base_url_;
  std::unique_ptr<Child> server_;
  std::unique_ptr<WebDriver> browser_;
};

TEST_F(ConsoleBrowserTest, SignInAddAndDisableAUserThenSignOut) {
  ASSERT_TRUE(Open("/console"));
  EXPECT_EQ(Path(), "/console/login");
  EXPECT_EQ(browser_->Title(), "Sign in - qvserver console");
  Screenshot("console-sign-in.png");

  const struct {
    std::string name, password;
  } refused[] = {{kAdmin, "wrong"}, {"nobody", kAdminPassword}};
  for (const auto& attempt : refused) {
    SignIn(attempt.name, attempt.password);
    EXPECT_EQ(Text("[role='alert']"), "Wrong name or password.") << attempt.name;
    EXPECT_EQ(Path(), "/console/login") << attempt.name;
  }
  SignIn(kAdmin, kAdminPassword);
  ASSERT_EQ(Path(), "/console/users");
  EXPECT_NE(Text("header").find(kAdmin), std::string::npos);

  for (const std::string login : {"carol", "dave"}) {
    Submit("form[action='/console/users/add']",
           {{"key_name", "KEY"}, {"login", login}, {"password", "pw of " + login}});
    EXPECT_EQ(Text("[role='status']"), "Added the user \"" + login + "\" of key name \"KEY\".");
    EXPECT_EQ(browser_->Text(browser_->Find(Row(login), "td:nth-child(3)")), "active") << login;
  }
  Screenshot("console-users.png");

  EXPECT_TRUE(
      browser_->ClickToLoad(browser_->Find(Row("carol"), "form[action$='/disable'] button")));
  EXPECT_EQ(Text("[role='status']"), "Disabled \"carol\" of key name \"KEY\".");
  for (const auto& [login, state] : {std::pair{"carol", "disabled"}, {"dave", "active"}}) {
    EXPECT_EQ(browser_->Text(browser_->Find(Row(login), "td:nth-child(3)")), state) << login;
  }

  EXPECT_TRUE(browser_->ClickToLoad(browser_->Find("header button")));
  EXPECT_EQ(Path(), "/console/login");
  ASSERT_TRUE(Open("/console/users"));
  EXPECT_EQ(Path(), "/console/login") << "the session ended with the sign-out";
}

// An operator checks a broken list and sees why it is refused, then checks
// a good one, reads what it would change and applies it.
TEST_F(ConsoleBrowserTest, ImportAListSeeingItsErrorThenItsDiff) {
  const std::string sample = dir_ + "/sample";
  ASSERT_EQ(RunCommand({QvserverPath(), "sample", sample}).exit_code, 0);
  const std::string current = ReadHostFile(sample + "/installlist.rst");
  ASSERT_EQ(RunCommand({QvserverPath(), "list", "import", db_, "DEMO", sample + "/installlist.rst"})
                .exit_code,
            0);
  // The broken list has text where a number belongs; the good one raises a
  // version, drops the data file and adds a record.
  const auto edited = [&](const std::string& from, const std::string& to) {
    std::string text = current;
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
  };
  const std::string broken = dir_ + "/broken.rst";
  const std::string good = dir_ + "/good.rst";
  WriteHostFile(broken, edited("[3, \"qvsans.ttf\"", "[\"three\", \"qvsans.ttf\""));
  std::string changed = edited("\"2.1.0.7\"", "\"2.2.0.0\"");
  const size_t data_line = changed.find("    [4, \"catalog.mdb\"");
  changed.replace(data_line, changed.find('\n', data_line) + 1 - data_line,
                  "    [7, \"qvextra.dll\", \"client/qvextra.dll\", 2, \"1.0.0.0\", \"\", \"\", "
                  "\"CLIENTDIR\", true, \"Extra\", false],\n");
  WriteHostFile(good, changed);

  ASSERT_TRUE(SignInAsAdmin());
  ASSERT_TRUE(Open("/console/lists"));
  EXPECT_EQ(browser_->Text(browser_->Find(Row("DEMO"), "td:nth-child(4)")), "7") << "records";

  Submit("#import-form", {{"key_name", "DEMO"}, {"document", broken}});
  EXPECT_NE(Text("[role='alert']").find("SequenceID"), std::string::npos);
  EXPECT_TRUE(browser_->FindAll("#diff").empty()) << "a refused list shows no diff";
  Screenshot("console-list-error.png");

  ASSERT_TRUE(Open("/console/lists"));
  Submit("#import-form", {{"key_name", "DEMO"}, {"document", good}});
  const struct {
    std::string file, change;
  } expected[] = {{"qvcommon.dll", "2.1.0.7 -> 2.2.0.0"},
                  {"catalog.mdb", "removed"},
                  {"qvextra.dll", "added"}};
  for (const auto& row : expected) {
    const std::string text = browser_->Text(Row(row.file));
    EXPECT_NE(text.find(row.change), std::string::npos) << row.file << ": " << text;
  }
  EXPECT_EQ(browser_->FindAll("#diff tbody tr").size(), 3u);
  Screenshot("console-list-diff.png");

  EXPECT_TRUE(browser_->ClickToLoad(browser_->Find("#apply-form button")));
  // What is stored then: ConsoleTest's import, through the same form.
  EXPECT_NE(Text("[role='status']").find("Imported the list of DEMO"), std::string::npos);
}

// Two machines run the control against the server, one on each Windows
// family, with a newer list imported between them; the fleet view shows
// both, what they reported and the two versions they were given.
TEST_F(ConsoleBrowserTest, FleetShowsTheMachinesThatRan) {
  const std::string sample = dir_ + "/sample";
  ASSERT_EQ(RunCommand({QvserverPath(), "sample", sample}).exit_code, 0);
  const std::string list = sample + "/installlist.rst";
  ASSERT_EQ(RunCommand({QvserverPath(), "list", "import", db_, "DEMO", list}).exit_code, 0);
  for (const char* login : {"demo", "nina"}) {
    ASSERT_EQ(
        RunCommand({QvserverPath(), "user", "add", db_, "DEMO", login}, "pw\n").exit_code, 0);
  }
  std::string newer = ReadHostFile(list);
  newer.replace(newer.find("\"2.1.0.7\""), 9, "\"2.2.0.0\"");
  WriteHostFile(dir_ + "/newer.rst", newer);
  RestartServer({"--files", sample + "/files"});

  const struct {
    std::string login, family;
  } machines[] = {{"demo", "nt"}, {"nina", "9x"}};
  for (const auto& machine : machines) {
    const std::string root = dir_ + "/" + machine.login;
    ASSERT_EQ(RunCommand({QvinitPath(), "machine", "init", root, "--family", machine.family})
                  .exit_code,
              0);
    const CommandResult run =
        RunCommand({QvinitPath(), "--headless", "--machine", root, "--password-stdin",
                    "startup-v2", base_url_ + "/", base_url_ + "/bo", "DEMO", machine.login,
                    "127.0.0.1"},
                   "pw\n");
    EXPECT_EQ(run.exit_code, 0) << machine.login << ": " << run.err;
    ASSERT_EQ(
        RunCommand({QvserverPath(), "list", "import", db_, "DEMO", dir_ + "/newer.rst"}).exit_code,
        0);
  }

  ASSERT_TRUE(SignInAsAdmin());
  ASSERT_TRUE(Open("/console/fleet"));
  const struct {
    std::string login, windows;
  } rows[] = {{"demo", "Windows XP"}, {"nina", "Windows 98"}};
  for (const auto& row : rows) {
    const std::string text = browser_->Text(Row(row.login));
    EXPECT_NE(text.find(row.windows), std::string::npos) << text;
    EXPECT_NE(text.find("MiB"), std::string::npos) << "memory from its report: " << text;
  }
  EXPECT_EQ(browser_->FindAll("#fleet > tbody > tr").size(), 2u);
  for (const char* plot : {"#logins-per-day", "#versions-in-fleet"}) {
    EXPECT_FALSE(browser_->FindAll(std::string(plot) + " rect").empty()) << plot;
  }
  // Each machine was given its own version of the one file that changed.
  const std::string versions = Text("#versions-in-fleet");
  // qvlaunch.exe is listed twice (its file and its launch record) but
  // given once to each machine.
  for (const char* version : {"2.1.0.7 (1), 2.2.0.0 (1)", "3.0.148.0 (2)"}) {
    EXPECT_NE(versions.find(version), std::string::npos) << versions;
  }
  Screenshot("console-fleet.png");
}

}  // namespace
}  // namespace qv::testing
