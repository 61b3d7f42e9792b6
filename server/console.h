// Console: the web console under /console, for the people who run the
// server: they sign in with an account of their own (the admins table,
// "qvserver admin add"), apart from the clients' users, and manage the users.
//
//   GET  /console/login            the sign-in form
//   POST /console/login            name, password: starts a session
//   GET  /console, /console/users  the users of every key name
//   GET  /console/fleet            the clients (server/console_fleet.h)
//   GET  /console/notes            the login notes
//   POST /console/users/add        key_name, login, password
//   POST /console/users/disable    key_name, login
//   POST /console/users/enable     key_name, login
//   POST /console/users/password   key_name, login, password
//   /console/lists, /console/files and below
//                                  the install lists and the published files
//                                  (server/console_lists.h)
//   POST /console/logout           ends the session
//   GET  /console/style.css        the pages' style sheet
//
// What protects it:
//   - a session is a random ID in the cookie "qvconsole" (HttpOnly,
//     SameSite=Strict, Path=/console, Secure over TLS), valid for
//     kConsoleSessionLength. The database keeps only the ID's hash, with the
//     session's expiry, so that every instance on it knows the session;
//   - each session has a random form token; a POST other than the sign-in
//     must carry it (the form field "csrf" or the header X-CSRF-Token), or
//     it is refused with 403 and changes nothing;
//   - failed sign-ins are slowed down by the login throttle, the same as
//     the clients' logins (server/login_throttle.h), under a key name of
//     their own;
//   - a page asked for without a session sends the browser to the sign-in
//     form; every answer forbids caching, framing and outside content.
//
// Thread-safe: each request is answered on its own.
#ifndef QV_SERVER_CONSOLE_H_
#define QV_SERVER_CONSOLE_H_

#include <httplib.h>

#include <chrono>
#include <string>
#include <string_view>

#include "server/console_lists.h"
#include "server/file_root.h"
#include "server/login_throttle.h"
#include "server/storage.h"

namespace qv::server {

inline constexpr std::chrono::seconds kConsoleSessionLength{8 * 3600};
inline constexpr const char* kConsoleCookie = "qvconsole";

class Console {
 public:
  // secure: the server speaks TLS, so the cookie is sent over TLS only.
  // files: the files folder the server serves; null when it serves none.
  // REQUIRES: storage and files outlive this object.
  Console(Storage* storage, const ThrottleLimits& throttle, bool secure,
          const FileRoot* files = nullptr)
      : storage_(storage), throttle_(throttle, storage), secure_(secure), lists_(storage, files) {}

  // Whether path is the console's: "/console" or below it.
  static bool Owns(const std::string& path);

  // Whether a POST to target (as sent) may carry a list document, and so a
  // body of up to kMaxListFormBytes.
  static bool TakesDocuments(std::string_view target) {
    return ConsoleLists::TakesDocuments(target);
  }
  // The answer to a POST whose body is larger than that.
  void RefuseTooLarge(httplib::Response& res);

  // Answers a GET or HEAD of one of the console's paths.
  void Get(const httplib::Request& req, httplib::Response& res);
  // Answers a POST to one of the console's paths; its form is parsed.
  // caller: the address failed sign-ins are counted for (the peer, or the
  // caller a trusted proxy names).
  void Post(const httplib::Request& req, const std::string& caller, httplib::Response& res);

 private:
  struct Session {
    std::string id_hash;
    ConsoleSession stored;
  };

  // The request's valid session; false when it has none.
  bool FindSession(const httplib::Request& req, Session* session);
  void SignIn(const httplib::Request& req, const std::string& caller, httplib::Response& res);
  // Carries out a change of the users page and shows the page again.
  void ChangeUsers(const httplib::Request& req, const Session& session, httplib::Response& res);
  void ShowUsers(const Session& session, const std::string& message, int status,
                 httplib::Response& res);
  // The fleet or the notes page (server/console_fleet.h).
  void ShowFleet(const httplib::Request& req, const Session& session, httplib::Response& res);

  Storage* storage_;
  LoginThrottle throttle_;
  const bool secure_;
  ConsoleLists lists_;
};

}  // namespace qv::server

#endif  // QV_SERVER_CONSOLE_H_
