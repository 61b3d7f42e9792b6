// The console's HTML, built from string pieces.
#include "server/console_pages.h"

#include <charconv>
#include <utility>

namespace qv::server {

namespace {

constexpr const char* kStyleSheet = R"css(body {
  font-family: system-ui, sans-serif;
  margin: 0;
  color: #1d2430;
  background: #f4f6f9;
}
header {
  display: flex;
  justify-content: space-between;
  align-items: center;
  padding: 0.6em 1.5em;
  background: #1d2430;
  color: #fff;
}
header form { margin: 0; }
main { padding: 1em 1.5em; max-width: 80em; }
h1 { font-size: 1.2em; margin: 0; }
h2 { font-size: 1.05em; margin-top: 1.5em; }
table { border-collapse: collapse; width: 100%; background: #fff; }
th, td { text-align: left; padding: 0.35em 0.6em; border-bottom: 1px solid #dde2ea; }
td form { display: inline; margin: 0; }
input { font: inherit; padding: 0.2em 0.4em; }
button { font: inherit; padding: 0.2em 0.8em; cursor: pointer; }
.message { padding: 0.5em 0.8em; background: #e4f4e4; border: 1px solid #9c9; }
.failed { background: #fbe4e4; border-color: #d99; }
.disabled { color: #8a8f98; }
.login { max-width: 22em; margin: 4em auto; background: #fff; padding: 1.5em; }
.login label { display: block; margin-top: 0.8em; }
.login input { width: 100%; box-sizing: border-box; }
.login button { margin-top: 1em; }
nav a { color: #fff; margin-right: 1em; }
nav a[aria-current] { font-weight: bold; text-decoration: none; }
.null { color: #8a8f98; font-style: italic; }
.added { background: #e4f4e4; }
.removed { background: #fbe4e4; }
.changed { background: #fdf6dc; }
td ul { margin: 0; padding-left: 1.2em; }
.scroll { overflow-x: auto; }
pre { margin: 0; white-space: pre-wrap; }
svg { background: #fff; max-width: 100%; height: auto; }
details summary { cursor: pointer; }
.pages a { margin-right: 1em; }
)css";

std::string Head(const std::string& title) {
  return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
         "<title>" +
         HtmlEscape(title) +
         " - qvserver console</title>"
         "<link rel=\"stylesheet\" href=\"/console/style.css\"></head>\n<body>\n";
}

// A form that posts to action with the token and the user's key fields.
std::string UserForm(const std::string& action, const std::string& csrf_token, const UserRow& user,
                     const std::string& fields, const std::string& button) {
  return "<form method=\"post\" action=\"/console/users/" + action + "\">" +
         HiddenToken(csrf_token) + "<input type=\"hidden\" name=\"key_name\" value=\"" +
         HtmlEscape(user.key_name) + "\"><input type=\"hidden\" name=\"login\" value=\"" +
         HtmlEscape(user.login) + "\">" + fields + "<button>" + button + "</button></form>";
}

}  // namespace

std::string HiddenToken(const std::string& csrf_token) {
  return "<input type=\"hidden\" name=\"csrf\" value=\"" + HtmlEscape(csrf_token) + "\">";
}

std::string ConsoleNav(const char* current) {
  static constexpr std::pair<const char*, const char*> kPages[] = {
      {"users", "Users"}, {"lists", "Lists"}, {"files", "Files"},
      {"fleet", "Fleet"}, {"notes", "Notes"},
  };
  std::string nav = "<nav>";
  for (const auto& [path, name] : kPages) {
    nav += std::string("<a href=\"/console/") + path + "\"" +
           (std::string_view(path) == current ? " aria-current=\"page\"" : "") + ">" + name +
           "</a> ";
  }
  return nav + "</nav>";
}

std::string ConsolePageStart(const std::string& title, const char* current,
                             const ConsoleFrame& frame) {
  std::string page = Head(title);
  page += "<header><h1>qvserver console: " + HtmlEscape(title) + "</h1>" + ConsoleNav(current) +
          "<form method=\"post\" action=\"/console/logout\">" + HtmlEscape(frame.admin) + " " +
          HiddenToken(frame.csrf_token) + "<button>Sign out</button></form></header>\n<main>\n";
  if (!frame.message.empty()) {
    page += std::string("<p ") +
            (frame.failed ? "class=\"message failed\" role=\"alert\">"
                          : "class=\"message\" role=\"status\">") +
            HtmlEscape(frame.message) + "</p>\n";
  }
  return page;
}

std::string ConsolePageEnd() { return "</main>\n</body></html>\n"; }

int64_t ConsolePageNumber(std::string_view text) {
  int64_t number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  const bool usable =
      error == std::errc() && end == text.data() + text.size() && number >= 1 && number <= 1000000;
  return usable ? number : 1;
}

std::string ConsolePager(const std::string& path, int64_t page_number, bool more,
                         const char* before, const char* after) {
  std::string links = "<p class=\"pages\">";
  if (page_number > 1) {
    links += "<a href=\"" + HtmlEscape(path) + "page=" + std::to_string(page_number - 1) + "\">" +
             before + "</a>";
  }
  if (more) {
    links += "<a href=\"" + HtmlEscape(path) + "page=" + std::to_string(page_number + 1) + "\">" +
             after + "</a>";
  }
  return links + "</p>\n";
}

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

const std::string& ConsoleStyleSheet() {
  static const std::string sheet = kStyleSheet;
  return sheet;
}

std::string ConsoleLoginPage(const std::string& error) {
  std::string page = Head("Sign in") + "<main class=\"login\"><h1>qvserver console</h1>\n";
  if (!error.empty()) {
    page += "<p class=\"message failed\" role=\"alert\">" + HtmlEscape(error) + "</p>\n";
  }
  page +=
      "<form method=\"post\" action=\"/console/login\">"
      "<label>Name <input name=\"name\" autocomplete=\"username\" required autofocus></label>"
      "<label>Password <input name=\"password\" type=\"password\" "
      "autocomplete=\"current-password\" required></label>"
      "<button>Sign in</button></form></main>\n</body></html>\n";
  return page;
}

std::string ConsoleUsersPage(const ConsoleFrame& frame, const std::vector<UserRow>& users) {
  std::string page = ConsolePageStart("Users", "users", frame);
  page += "<h2>Add a user</h2>\n<form method=\"post\" action=\"/console/users/add\">" +
          HiddenToken(frame.csrf_token) +
          "<input name=\"key_name\" placeholder=\"key name\" required> "
          "<input name=\"login\" placeholder=\"login\" required> "
          "<input name=\"password\" type=\"password\" placeholder=\"password\" "
          "autocomplete=\"new-password\" required> <button>Add</button></form>\n";
  if (users.empty()) page += "<p>No users yet.</p>\n";
  const std::string* key_name = nullptr;
  for (const UserRow& user : users) {
    if (key_name == nullptr || *key_name != user.key_name) {
      if (key_name != nullptr) page += "</tbody></table>\n";
      key_name = &user.key_name;
      page += "<h2>Key name " + HtmlEscape(user.key_name) +
              "</h2>\n<table><thead><tr><th>Login</th><th>Created</th><th>State</th>"
              "<th></th><th>New password</th></tr></thead><tbody>\n";
    }
    page += std::string("<tr") + (user.disabled ? " class=\"disabled\"" : "") + "><td>" +
            HtmlEscape(user.login) + "</td><td>" + HtmlEscape(user.created) + "</td><td>" +
            (user.disabled ? "disabled" : "active") + "</td><td>" +
            (user.disabled ? UserForm("enable", frame.csrf_token, user, "", "Enable")
                           : UserForm("disable", frame.csrf_token, user, "", "Disable")) +
            "</td><td>" +
            UserForm("password", frame.csrf_token, user,
                     "<input name=\"password\" type=\"password\" autocomplete=\"new-password\" "
                     "required> ",
                     "Set") +
            "</td></tr>\n";
  }
  if (key_name != nullptr) page += "</tbody></table>\n";
  return page + ConsolePageEnd();
}

}  // namespace qv::server
