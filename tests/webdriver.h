// A headless Chromium driven over the WebDriver protocol, for tests that
// use the web console as a person does: chromedriver runs as a child on a
// free loopback port, in a process group of its own, and holds one browser
// session with a fixed window size and a temporary profile.
//
// Every call that fails adds a test failure carrying the driver's error
// message and returns an empty result, so a flow reads as a list of steps.
// The destructor ends the session and kills the whole process group, so no
// browser outlives the test.
#ifndef QV_TESTS_WEBDRIVER_H_
#define QV_TESTS_WEBDRIVER_H_

#include <sys/types.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace httplib {
class Client;
}

namespace qv::testing {

// An element of the current page, as the driver names it; empty when a
// look-up found none.
struct Element {
  std::string id;
  explicit operator bool() const { return !id.empty(); }
};

class WebDriver {
 public:
  // Starts chromedriver and a browser; started() is false (and a failure
  // is added) when either is missing or does not come up.
  WebDriver();
  ~WebDriver();
  WebDriver(const WebDriver&) = delete;
  WebDriver& operator=(const WebDriver&) = delete;

  bool started() const { return !session_.empty(); }

  bool Navigate(const std::string& url);
  std::string Title();
  std::string CurrentUrl();

  // The first element matching a CSS selector, in the page or below
  // within; a failure when there is none.
  Element Find(const std::string& css);
  Element Find(const Element& within, const std::string& css);
  // Every match, in document order; none is no failure.
  std::vector<Element> FindAll(const std::string& css);

  bool Click(const Element& element);
  // Clicks what leads to another page (a form's button, a link) and waits
  // until that page has loaded.
  bool ClickToLoad(const Element& element);
  // Types text into an input; for a file input, text is the file's path.
  bool SendKeys(const Element& element, const std::string& text);
  // The element's text as shown (whitespace collapsed by the browser).
  std::string Text(const Element& element);

  // Saves what the window shows as a PNG file.
  bool Screenshot(const std::string& png_path);

 private:
  // Sends a command to the session (path below /session/ID; before there
  // is a session, to /session itself) and gives the answer's "value" when
  // value is set; false, with a failure added, when the driver refuses.
  bool Call(const std::string& method, const std::string& path,
            const nlohmann::json& body = nullptr, nlohmann::json* value = nullptr);
  // The same without the failure: *error says why it is refused.
  bool Send(const std::string& method, const std::string& path, const nlohmann::json& body,
            nlohmann::json* value, std::string* error);
  bool WaitUntilReady();
  void Stop();

  pid_t group_ = -1;  // the process that runs chromedriver and leads its group
  std::string profile_dir_;
  std::unique_ptr<httplib::Client> client_;
  std::string session_;
};

}  // namespace qv::testing

#endif  // QV_TESTS_WEBDRIVER_H_
