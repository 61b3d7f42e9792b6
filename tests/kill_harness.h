// Kill harness: the real qvinit killed at random moments while it replaces
// files in use, and the machine's next start after each series of kills.
//
// It runs the programs of this build as a user would: `qvserver serve` over a
// catalog of two large files, one plain and one as a compressed archive (a
// fresh database, one user, one install list), and `qvinit startup` on a
// sandbox machine whose profile lists the installed copies as in use. Every
// round, one run goes to its end (the files are downloaded, one expanded,
// both staged in the temp folder and their replacement deferred to the next
// start); the temp folder must then hold the two staged files and nothing
// else, since a start-up removes what killed runs left. Then runs_per_round
// runs are killed with SIGKILL at a random moment of a run's length (half of
// them while a body arrives), then `qvinit machine boot` starts the machine
// again (after one start killed at a random moment of its length), the
// installed files are compared with the published ones, and the registry
// must pass SQLite's integrity check after every kill.
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
  uint64_t file_bytes = 50u << 20;    // the plain file
  uint64_t packed_bytes = 16u << 20;  // the compressed file, expanded
  uint32_t seed = 1;
};

struct KillFigures {
  int kills = 0;
  int rounds = 0;
  // Kills after which a download temporary ("~qvd...") was left: the run
  // died while a body was arriving.
  int kills_during_body = 0;
  // Kills after which an expansion temporary ("~qvx...") was left.
  int kills_during_expansion = 0;
  // Starts of the machine (`machine boot`) killed before the one that
  // finishes; each round tries one.
  int boot_kills = 0;
  // Kills after which registry.db failed SQLite's integrity check.
  int registry_damaged = 0;
  // Files found after a start to be the published ones, and anything else
  // (truncated, missing, empty): two a start.
  int complete = 0;
  int damaged = 0;
  // Files in the temp folder after a run to its end other than the two
  // staged ones, and their names.
  int leftovers = 0;
  std::string leftover_names;
  // After the last kills, a run to its end and the next start: whether the
  // machine's files and registry are those of a machine whose runs were
  // never killed.
  bool same_as_uninterrupted = false;
  double full_run_seconds = 0;  // the length of a run that is not killed
  std::string error;            // set when the harness itself failed
};

KillFigures RunKillHarness(const KillOptions& options);

}  // namespace qv::testing

#endif  // QV_TESTS_KILL_HARNESS_H_
