// ConsoleFleet: the console's pages about the clients, made from the
// database for a signed-in admin.
//
//   GET /console/fleet[?key_name=K]  one row per client (an account that
//                                    logged in): when and from where it was
//                                    last seen, its Windows version, the
//                                    memory figures and admin access of its
//                                    last report, and the install list it
//                                    was given with that report; plots of
//                                    the logins per day over the last 30
//                                    days and of the file versions the
//                                    clients were given
//   GET /console/notes[?page=N]      the login notes, newest first,
//                                    kConsoleNotesPerPage a page
//
// The plots are SVG written into the page, drawn with presentation
// attributes only (the pages' content policy allows no style attribute and
// no script).
#ifndef QV_SERVER_CONSOLE_FLEET_H_
#define QV_SERVER_CONSOLE_FLEET_H_

#include <cstdint>
#include <string>

#include "server/console_pages.h"
#include "server/storage.h"

namespace qv::server {

inline constexpr int64_t kConsoleNotesPerPage = 100;
// The logins plot covers this many days up to today.
inline constexpr int kConsoleLoginDays = 30;
// The versions plot shows at most this many files: those given in the most
// versions.
inline constexpr size_t kConsoleVersionFiles = 10;

// The fleet page of the clients of key_name (every key name's when ""),
// as of now (Unix seconds).
Status ConsoleFleetPage(Storage& storage, const ConsoleFrame& frame, const std::string& key_name,
                        int64_t now, std::string* page);

// The page_number'th page (from 1) of the login notes.
Status ConsoleNotesPage(Storage& storage, const ConsoleFrame& frame, int64_t page_number,
                        std::string* page);

}  // namespace qv::server

#endif  // QV_SERVER_CONSOLE_FLEET_H_
