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
    const std::string db = dir_ + "/server.db";
    ASSERT_EQ(RunCommand({QvserverPath(), "init", db}).exit_code, 0);
    ASSERT_EQ(
        RunCommand({QvserverPath(), "admin", "add", db, kAdmin}, std::string(kAdminPassword) + "\n")
            .exit_code,
        0);
    server_ = std::make_unique<Child>(
        std::vector<std::string>{QvserverPath(), "serve", db, "--listen", "127.0.0.1:0"},
        std::vector<std::string>{}, /*stdout_pipe=*/true);
    const std::string line = server_->ReadLine(std::chrono::seconds(30));
    const std::string prefix = "listening on ";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
    base_url_ = line.substr(prefix.size());
    browser_ = std::make_unique<WebDriver>();
    ASSERT_TRUE(browser_->started());
  }
  void TearDown() override {
    browser_.reset();
    server_.reset();
    RemoveTree(dir_);
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

}  // namespace
}  // namespace qv::testing
