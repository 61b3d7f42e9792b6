// The web console's requests: sessions, form tokens and the users page.
#include "server/console.h"

#include <algorithm>
#include <memory>
#include <string_view>

#include "server/console_fleet.h"
#include "server/console_pages.h"
#include "server/credentials.h"

namespace qv::server {

namespace {

// Failed sign-ins are counted under this key name, which no client sends.
constexpr const char* kThrottleKeyName =
    "\x1f"
    "console";
constexpr const char* kHtml = "text/html; charset=utf-8";

// Sends text as it is, with its length (a content provider, so that the
// library neither copies nor compresses it), and the headers every console
// answer carries.
void Send(httplib::Response& res, int status, const std::string& text,
          const std::string& content_type) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_header("X-Frame-Options", "DENY");
  res.set_header("Referrer-Policy", "no-referrer");
  res.set_header("Content-Security-Policy",
                 "default-src 'none'; style-src 'self'; form-action 'self'; "
                 "frame-ancestors 'none'; base-uri 'none'");
  auto bytes = std::make_shared<const std::string>(text);
  if (bytes->empty()) {
    res.set_content("", content_type);
    return;
  }
  res.set_content_provider(
      bytes->size(), content_type, [bytes](size_t offset, size_t count, httplib::DataSink& sink) {
        return sink.write(bytes->data() + offset, std::min(count, bytes->size() - offset));
      });
}

void Reply(httplib::Response& res, const ConsoleReply& reply) {
  if (!reply.download_name.empty()) {
    res.set_header("Content-Disposition", "attachment; filename=\"" + reply.download_name + "\"");
  }
  Send(res, reply.status, reply.body, reply.content_type);
}

void Redirect(httplib::Response& res, const std::string& to) {
  res.set_header("Location", to);
  Send(res, 303, "", "text/plain");
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

// The value of the cookie name in the request's Cookie headers; "" when
// none.
std::string CookieValue(const httplib::Request& req, const std::string& name) {
  const size_t headers = req.get_header_value_count("Cookie");
  for (size_t i = 0; i < headers; ++i) {
    const std::string header = req.get_header_value("Cookie", i);
    std::string_view rest = header;
    while (!rest.empty()) {
      const size_t end = rest.find(';');
      const std::string_view pair = Trim(rest.substr(0, end));
      rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
      if (pair.size() > name.size() && pair.starts_with(name) && pair[name.size()] == '=') {
        return std::string(pair.substr(name.size() + 1));
      }
    }
  }
  return "";
}

// Whether id looks like an ID NewLoginId makes: 32 lower-case hex digits.
bool WellFormedId(const std::string& id) {
  if (id.size() != 32) return false;
  for (char c : id) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// A form field, from a URL-encoded form (or the query) or a multipart one.
std::string Field(const httplib::Request& req, const char* name) {
  if (req.has_param(name)) return req.get_param_value(name);
  const auto part = req.files.find(name);
  return part == req.files.end() ? "" : part->second.content;
}

ConsoleFrame FrameOf(const ConsoleSession& session) {
  return {session.admin, session.csrf_token, "", false};
}

}  // namespace

bool Console::Owns(const std::string& path) {
  return path == "/console" || path.starts_with("/console/");
}

bool Console::FindSession(const httplib::Request& req, Session* session) {
  const std::string id = CookieValue(req, kConsoleCookie);
  if (!WellFormedId(id)) return false;
  session->id_hash = TokenHash(id);
  bool found = false;
  const Status status = storage_->FindConsoleSession(session->id_hash, &found, &session->stored);
  return status.ok() && found;
}

void Console::Get(const httplib::Request& req, httplib::Response& res) {
  if (req.path == "/console/style.css") {
    Send(res, 200, ConsoleStyleSheet(), "text/css; charset=utf-8");
    return;
  }
  if (req.path == "/console/login") {
    Send(res, 200, ConsoleLoginPage(""), kHtml);
    return;
  }
  Session session;
  if (!FindSession(req, &session)) {
    Redirect(res, "/console/login");
    return;
  }
  if (req.path == "/console" || req.path == "/console/") {
    Redirect(res, "/console/users");
  } else if (req.path == "/console/users") {
    ShowUsers(session, "", 200, res);
  } else if (ConsoleLists::Owns(req.path)) {
    Reply(res, lists_.Get(req, FrameOf(session.stored)));
  } else if (req.path == "/console/fleet" || req.path == "/console/notes") {
    ShowFleet(req, session, res);
  } else {
    Send(res, 404, "Not Found\n", "text/plain; charset=utf-8");
  }
}

void Console::Post(const httplib::Request& req, const std::string& caller, httplib::Response& res) {
  if (req.path == "/console/login") {
    SignIn(req, caller, res);
    return;
  }
  Session session;
  std::string token = Field(req, "csrf");
  if (token.empty()) token = req.get_header_value("X-CSRF-Token");
  if (!FindSession(req, &session) || !SameSecret(token, session.stored.csrf_token)) {
    Send(res, 403, "Forbidden: sign in again and use the console's own forms\n",
         "text/plain; charset=utf-8");
    return;
  }
  if (req.path == "/console/logout") {
    storage_->RemoveConsoleSession(session.id_hash);
    res.set_header("Set-Cookie", std::string(kConsoleCookie) +
                                     "=; Path=/console; Max-Age=0; "
                                     "HttpOnly; SameSite=Strict" +
                                     (secure_ ? "; Secure" : ""));
    Redirect(res, "/console/login");
    return;
  }
  if (ConsoleLists::Owns(req.path)) {
    Reply(res, lists_.Post(req, FrameOf(session.stored)));
    return;
  }
  ChangeUsers(req, session, res);
}

void Console::RefuseTooLarge(httplib::Response& res) { Reply(res, ConsoleLists::TooLarge()); }

void Console::SignIn(const httplib::Request& req, const std::string& caller,
                     httplib::Response& res) {
  const std::string name = Field(req, "name");
  const std::string password = Field(req, "password");
  const auto now = LoginThrottle::Clock::now();
  bool admitted = false;
  Status status = throttle_.Admit(kThrottleKeyName, name, caller, now, &admitted);
  if (status.ok() && !admitted) {
    Send(res, 429, ConsoleLoginPage("Too many failed sign-ins: wait a while and try again."),
         kHtml);
    return;
  }
  bool valid = false;
  if (status.ok()) status = storage_->CheckAdmin(name, password, &valid);
  if (status.ok() && !valid) {
    Send(res, 401, ConsoleLoginPage("Wrong name or password."), kHtml);
    return;
  }
  if (status.ok()) {
    status = throttle_.Succeeded(kThrottleKeyName, name, caller, LoginThrottle::Clock::now());
  }
  const std::string id = NewLoginId();
  if (status.ok()) {
    status = storage_->AddConsoleSession(TokenHash(id), name, NewLoginId(),
                                         storage_->Now() + kConsoleSessionLength.count());
  }
  if (!status.ok()) {
    Send(res, 500, ConsoleLoginPage("The server cannot sign you in: " + status.message()), kHtml);
    return;
  }
  res.set_header("Set-Cookie",
                 std::string(kConsoleCookie) + "=" + id +
                     "; Path=/console; Max-Age=" + std::to_string(kConsoleSessionLength.count()) +
                     "; HttpOnly; SameSite=Strict" + (secure_ ? "; Secure" : ""));
  Redirect(res, "/console/users");
}

void Console::ChangeUsers(const httplib::Request& req, const Session& session,
                          httplib::Response& res) {
  const std::string key_name = Field(req, "key_name");
  const std::string login = Field(req, "login");
  const std::string password = Field(req, "password");
  const std::string who = "\"" + login + "\" of key name \"" + key_name + "\"";
  const bool adds = req.path == "/console/users/add";
  const bool sets_password = req.path == "/console/users/password";
  const bool disables = req.path == "/console/users/disable";
  if (!adds && !sets_password && !disables && req.path != "/console/users/enable") {
    Send(res, 404, "Not Found\n", "text/plain; charset=utf-8");
    return;
  }
  if (key_name.empty() || login.empty() || ((adds || sets_password) && password.empty())) {
    ShowUsers(session, "Give the key name, the login and, to set one, a password.", 400, res);
    return;
  }
  Status status;
  bool found = true;
  std::string done;
  if (adds) {
    status = storage_->AddUser(key_name, login, password, false);
    done = "Added the user " + who + ".";
  } else if (sets_password) {
    status = storage_->SetUserPassword(key_name, login, password, &found);
    done = "Set a new password for " + who + ".";
  } else {
    status = storage_->SetUserDisabled(key_name, login, disables, &found);
    done = (disables ? "Disabled " : "Enabled ") + who + ".";
  }
  if (!status.ok()) {
    ShowUsers(session, status.message(), status.code() == kErrorAlreadyExists ? 409 : 500, res);
  } else if (!found) {
    ShowUsers(session, "There is no user " + who + ".", 404, res);
  } else {
    ShowUsers(session, done, 200, res);
  }
}

void Console::ShowUsers(const Session& session, const std::string& message, int status,
                        httplib::Response& res) {
  std::vector<UserRow> users;
  const Status listed = storage_->ListUsers(&users);
  ConsoleFrame frame{session.stored.admin, session.stored.csrf_token, message, status != 200};
  if (!listed.ok()) {
    frame.message = listed.message();
    frame.failed = true;
    status = 500;
  }
  Send(res, status, ConsoleUsersPage(frame, users), kHtml);
}

void Console::ShowFleet(const httplib::Request& req, const Session& session,
                        httplib::Response& res) {
  const ConsoleFrame frame{session.stored.admin, session.stored.csrf_token, "", false};
  std::string page;
  const Status status =
      req.path == "/console/notes"
          ? ConsoleNotesPage(*storage_, frame, ConsolePageNumber(Field(req, "page")), &page)
          : ConsoleFleetPage(*storage_, frame, Field(req, "key_name"), storage_->Now(), &page);
  if (!status.ok()) {
    Send(res, 500, "The database failed: " + status.message() + "\n", "text/plain; charset=utf-8");
    return;
  }
  Send(res, 200, page, kHtml);
}

}  // namespace qv::server
