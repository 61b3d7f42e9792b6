// A session of qvinit with the control: the host's side of one start-up.
//
// The session opens the sandbox machine, places the control on the chosen
// user interface, raises Init by showing it, calls the start-up method, runs
// the event loop until the control is idle again (timer off, no transfer in
// flight), and reports what happened: the panel and the message boxes on the
// terminal, and one JSON object a line in the report file.
#ifndef QV_HOST_SESSION_H_
#define QV_HOST_SESSION_H_

#include <iosfwd>
#include <optional>
#include <string>


namespace qv::host {

// Exit statuses of the start-up commands.
constexpr int kExitDone = 0;
constexpr int kExitError = 1;
constexpr int kExitUsage = 2;
constexpr int kExitHalted = 3;
// The install list was refused as untrusted (control/list_trust.h).
constexpr int kExitUntrusted = 4;
constexpr int kExitReboot = 10;
constexpr int kExitLoginRefused = 20;

enum class StartMethod { kStartup, kStartupV2, kStartupLocal };

struct StartArguments {
  StartMethod method = StartMethod::kStartup;
  std::string download_location;
  std::string bo_server;
  std::string key_name;
  std::string login;
  std::string password;
  std::string remote_address;
  bool dev_login = false;
};

struct SessionOptions {
  std::string machine_dir;
  // The default machine is made on first use; a machine named by --machine
  // must exist.
  bool make_machine_if_missing = false;
  std::optional<std::string> report_file;
  bool answer_yes = false;
  std::optional<std::string> pick;
  std::optional<std::string> prelude_server;
  // The certificate authorities (PEM) that https:// servers are checked
  // against instead of the system's bundle; "" uses the system's.
  std::string ca_file;
  // When set, the public key (base64) written to the machine's ListTrustKey
  // before the start-up, so that only lists it signed are used.
  std::optional<std::string> trust_key;
  // A real window (needs a display and a build with window support); the
  // headless interface otherwise.
  bool gui = false;
};

// Whether a window can be shown: a build with window support and a display.
bool WindowAvailable();

// Runs one start-up and returns the exit status: 0 after Done, 10 after
// Reboot, 20 for the refused login, 3 when the run halted without an event,
// 4 when the install list was refused as untrusted, 1 for any other error that reached the host (or a machine that cannot be
// opened, or no window can be shown), 2 for a bad --pick.
int RunSession(const SessionOptions& options, const StartArguments& arguments, std::ostream& out,
               std::ostream& err);

}  // namespace qv::host

#endif  // QV_HOST_SESSION_H_
