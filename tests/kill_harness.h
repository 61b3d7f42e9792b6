// Kill harness: the real qvinit killed at random moments while it replaces a
// file in use, and the machine's next start after each series of kills.
//
// It runs the programs of this build as a user would: `qvserver serve` over a
// catalog of one large file (a fresh database, one user, one install list),
// and `qvinit startup` on a sandbox machine whose profile lists the installed
// copy of that file as in use. Every round, one run goes to its end (the file
// is staged in the temp folder and its replacement deferred to the next
// start), then runs_per_round runs are killed with SIGKILL at a random moment
// of a run's length (half of them while its body arrives), then
// `qvinit machine boot` starts the machine again, and the installed file is
// compared with the published one. A killed run's download temporary must be
// removable through the machine (nothing holds it any more); the harness
// removes it, as a start-up does.
//
// Used from one test thread; it starts and stops its own processes.
#ifndef QV_TESTS_KILL_HARNESS_H_
#define QV_TESTS_KILL_HARNESS_H_

#include <cstdint>
#include <string>

namespace qv::testing {

struct KillOptions {
  int kills = 8;           // killed runs in all
  int runs_per_round = 2;  // killed runs between two starts of the machine
  uint64_t file_bytes = 50u << 20;
  uint32_t seed = 1;
};

struct KillFigures {
  int kills = 0;
  int rounds = 0;
  // Kills after which a download temporary ("~qvd...") was left: the run
  // died while a body was arriving.
  int kills_during_body = 0;
  // Starts after which the installed file was the published one, and after
  // which it was anything else (truncated, missing, empty).
  int complete = 0;
  int damaged = 0;
  double full_run_seconds = 0;  // the length of a run that is not killed
  std::string error;            // set when the harness itself failed
};

KillFigures RunKillHarness(const KillOptions& options);

}  // namespace qv::testing

#endif  // QV_TESTS_KILL_HARNESS_H_
