// The WebDriver client: chromedriver's child process and the commands the
// console's flows use.
#include "tests/webdriver.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/base64.h"
#include "tests/test_util.h"

extern char** environ;

namespace qv::testing {

namespace {

constexpr const char* kChromedriver = "/usr/bin/chromedriver";
constexpr const char* kChromium = "/usr/bin/chromium";
// The key under which the protocol names an element.
constexpr const char* kElementKey = "element-6066-11e4-a52e-4f735466cecf";

// Stops the reaper's group when the test process dies without its
// destructors (killed at a time-out).
void StopGroup(int) { ::kill(0, SIGTERM); }

// Starts program with argv below a process of ours that leads a new
// process group, adopts whatever the browser leaves behind (a child
// subreaper) and reaps it all, then exits once nothing is left below it; it
// ignores SIGTERM, which stops the rest of the group. Input and output go
// to /dev/null. The reaper's pid, or -1.
pid_t SpawnBehindReaper(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t parent = ::getpid();
  const pid_t reaper = ::fork();
  if (reaper != 0) return reaper;
  // Only async-signal-safe calls from here on.
  ::setpgid(0, 0);
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  ::signal(SIGTERM, SIG_IGN);
  ::signal(SIGHUP, StopGroup);
  ::prctl(PR_SET_PDEATHSIG, SIGHUP);
  if (::getppid() != parent) ::_exit(1);
  const int null_fd = ::open("/dev/null", O_RDWR);
  for (int fd = 0; fd <= 2; ++fd) ::dup2(null_fd, fd);
  if (null_fd > 2) ::close(null_fd);
  if (::fork() == 0) {
    ::signal(SIGTERM, SIG_DFL);
    ::execve(args[0], args.data(), environ);
    ::_exit(127);
  }
  while (::waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
  }
  ::_exit(0);
}

// The first line of a driver's error message (the rest is its stack).
std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

}  // namespace

WebDriver::WebDriver() {
  for (const char* program : {kChromedriver, kChromium}) {
    if (::access(program, X_OK) != 0) {
      ADD_FAILURE() << program
                    << " is missing: the browser tests need the Debian packages chromium and "
                       "chromium-driver (scripts/setup.sh installs them)";
      return;
    }
  }
  const int port = FreeLoopbackPort();
  group_ = SpawnBehindReaper({kChromedriver, "--port=" + std::to_string(port)});
  if (group_ < 0) {
    ADD_FAILURE() << "cannot start " << kChromedriver;
    return;
  }
  client_ = std::make_unique<httplib::Client>("127.0.0.1", port);
  client_->set_connection_timeout(std::chrono::seconds(2));
  client_->set_read_timeout(std::chrono::seconds(60));
  if (!WaitUntilReady()) return;

  profile_dir_ = MakeTempDir("qvbrowser");
  nlohmann::json args = {"--headless=new", "--disable-gpu", "--window-size=1280,900",
                         "--no-first-run", "--user-data-dir=" + profile_dir_};
  // Chromium's own sandbox does not run as root (as in a container).
  if (::geteuid() == 0) args.push_back("--no-sandbox");
  const nlohmann::json capabilities = {
      {"capabilities",
       {{"alwaysMatch",
         {{"browserName", "chrome"},
          {"goog:chromeOptions", {{"binary", kChromium}, {"args", args}}}}}}}};
  nlohmann::json value;
  if (!Call("POST", "", capabilities, &value) || !value.is_object()) return;
  session_ = value.value("sessionId", "");
  // A page that hangs fails the step instead of the whole run's time.
  Call("POST", "/timeouts", {{"pageLoad", 15000}, {"script", 5000}, {"implicit", 0}});
}

WebDriver::~WebDriver() { Stop(); }

bool WebDriver::WaitUntilReady() {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (std::chrono::steady_clock::now() < end) {
    if (::waitpid(group_, nullptr, WNOHANG) == group_) {
      group_ = -1;
      ADD_FAILURE() << kChromedriver << " exited at start";
      return false;
    }
    auto res = client_->Get("/status");
    if (res && res->status == 200) {
      const auto answer = nlohmann::json::parse(res->body, nullptr, false);
      if (answer.is_object() && answer["value"].is_object() &&
          answer["value"].value("ready", false)) {
        return true;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ADD_FAILURE() << kChromedriver << " did not answer within 15 s";
  return false;
}

void WebDriver::Stop() {
  if (!session_.empty()) {
    client_->Delete("/session/" + session_);
    session_.clear();
  }
  if (group_ > 0) {
    // The reaper is not yet waited for, so the group's ID still names it
    // and whatever is left of the browser. It exits once all of that has
    // ended; what ignores SIGTERM is killed with the reaper.
    ::kill(-group_, SIGTERM);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (::waitpid(group_, nullptr, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > end) {
        ::kill(-group_, SIGKILL);
        ::waitpid(group_, nullptr, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    group_ = -1;
  }
  if (!profile_dir_.empty()) RemoveTree(profile_dir_);
}

bool WebDriver::Send(const std::string& method, const std::string& path, const nlohmann::json& body,
                     nlohmann::json* value, std::string* error) {
  if (!client_ || (session_.empty() && !path.empty())) return false;
  const std::string url = "/session" + (session_.empty() ? "" : "/" + session_) + path;
  const auto request = [&]() {
    if (method == "GET") return client_->Get(url);
    if (method == "DELETE") return client_->Delete(url);
    return client_->Post(url, body.is_null() ? "{}" : body.dump(), "application/json");
  };
  const httplib::Result res = request();
  if (!res) {
    *error = httplib::to_string(res.error());
    return false;
  }
  nlohmann::json answer = nlohmann::json::parse(res->body, nullptr, false);
  if (!answer.is_object() || !answer.contains("value")) {
    *error = "HTTP " + std::to_string(res->status) + " " + res->body.substr(0, 200);
    return false;
  }
  const nlohmann::json& answer_value = answer["value"];
  if (res->status != 200) {
    *error = answer_value.is_object() ? answer_value.value("error", "?") + ": " +
                                            FirstLine(answer_value.value("message", ""))
                                      : answer_value.dump();
    return false;
  }
  if (value != nullptr) *value = answer_value;
  return true;
}

bool WebDriver::Call(const std::string& method, const std::string& path, const nlohmann::json& body,
                     nlohmann::json* value) {
  std::string error;
  if (Send(method, path, body, value, &error)) return true;
  ADD_FAILURE() << "WebDriver " << method << " " << path << ": " << error;
  return false;
}

bool WebDriver::Navigate(const std::string& url) {
  return started() && Call("POST", "/url", {{"url", url}});
}

std::string WebDriver::Title() {
  nlohmann::json value;
  Call("GET", "/title", nullptr, &value);
  return value.is_string() ? value.get<std::string>() : "";
}

std::string WebDriver::CurrentUrl() {
  nlohmann::json value;
  Call("GET", "/url", nullptr, &value);
  return value.is_string() ? value.get<std::string>() : "";
}

Element WebDriver::Find(const std::string& css) {
  nlohmann::json value;
  Call("POST", "/element", {{"using", "css selector"}, {"value", css}}, &value);
  return Element{value.is_object() ? value.value(kElementKey, "") : ""};
}

Element WebDriver::Find(const Element& within, const std::string& css) {
  if (!within) return {};
  nlohmann::json value;
  Call("POST", "/element/" + within.id + "/element", {{"using", "css selector"}, {"value", css}},
       &value);
  return Element{value.is_object() ? value.value(kElementKey, "") : ""};
}

std::vector<Element> WebDriver::FindAll(const std::string& css) {
  std::vector<Element> elements;
  nlohmann::json value;
  Call("POST", "/elements", {{"using", "css selector"}, {"value", css}}, &value);
  if (!value.is_array()) return elements;
  for (const nlohmann::json& item : value) elements.push_back({item.value(kElementKey, "")});
  return elements;
}

bool WebDriver::Click(const Element& element) {
  return element && Call("POST", "/element/" + element.id + "/click");
}

bool WebDriver::ClickToLoad(const Element& element) {
  const Element page = Find("html");
  if (!page || !Click(element)) return false;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  bool left = false;
  while (std::chrono::steady_clock::now() < end) {
    nlohmann::json value;
    std::string error;
    if (!left) {
      left = !Send("GET", "/element/" + page.id + "/name", nullptr, &value, &error) &&
             error.starts_with("stale element reference");
    } else if (Send("POST", "/execute/sync",
                    {{"script", "return document.readyState"}, {"args", nlohmann::json::array()}},
                    &value, &error) &&
               value == "complete") {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ADD_FAILURE() << "the click led to no page within 15 s";
  return false;
}

bool WebDriver::SendKeys(const Element& element, const std::string& text) {
  return element && Call("POST", "/element/" + element.id + "/value", {{"text", text}});
}

std::string WebDriver::Text(const Element& element) {
  if (!element) return "";
  nlohmann::json value;
  Call("GET", "/element/" + element.id + "/text", nullptr, &value);
  return value.is_string() ? value.get<std::string>() : "";
}

bool WebDriver::Screenshot(const std::string& png_path) {
  nlohmann::json value;
  std::string png;
  if (!Call("GET", "/screenshot", nullptr, &value) || !value.is_string() ||
      !Base64Decode(value.get<std::string>(), &png)) {
    ADD_FAILURE() << "no screenshot for " << png_path;
    return false;
  }
  WriteHostFile(png_path, png);
  return true;
}

}  // namespace qv::testing
