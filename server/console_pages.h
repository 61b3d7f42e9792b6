// ConsolePages: the web console's pages, written out as HTML on the server
// (no script runs in the browser), and the one style sheet they share.
// Every text that comes from a request or the database is escaped.
#ifndef QV_SERVER_CONSOLE_PAGES_H_
#define QV_SERVER_CONSOLE_PAGES_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "server/storage.h"

namespace qv::server {

// text with &, <, >, " and ' written as character references.
std::string HtmlEscape(std::string_view text);

// The style sheet, served as /console/style.css.
const std::string& ConsoleStyleSheet();

// The sign-in form; error, when not empty, says why the last try failed.
std::string ConsoleLoginPage(const std::string& error);

// What a page of a signed-in admin shows besides its own content.
struct ConsoleFrame {
  std::string admin;
  std::string csrf_token;  // put into every form
  std::string message;     // the outcome of the last change, when any
  bool failed = false;     // whether message says what went wrong
};

// The hidden form field that carries the session's form token.
std::string HiddenToken(const std::string& csrf_token);

// The links to the console's pages, the one named current (its path under
// /console, "users") marked as the page shown.
std::string ConsoleNav(const char* current);

// The start of a signed-in page up to its own content: the head, the header
// with the links and the sign-out form, and the frame's message (an alert
// when it says what went wrong). current is as ConsoleNav takes it. The page
// ends with ConsolePageEnd().
std::string ConsolePageStart(const std::string& title, const char* current,
                             const ConsoleFrame& frame);
std::string ConsolePageEnd();

// The page number a request's "page" value names; 1 when it names none that
// is usable (not a whole number from 1 to 1000000).
int64_t ConsolePageNumber(std::string_view text);

// The links to the page before and after page_number of path (a path and
// query that ends in '?' or '&'), as the pages of notes and of list records
// show them.
std::string ConsolePager(const std::string& path, int64_t page_number, bool more,
                         const char* before, const char* after);

// The users of every key name, with forms to add a user, disable or enable
// one and set a new password.
std::string ConsoleUsersPage(const ConsoleFrame& frame, const std::vector<UserRow>& users);

}  // namespace qv::server

#endif  // QV_SERVER_CONSOLE_PAGES_H_
