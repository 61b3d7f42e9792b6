// Killing qvinit at random moments while it replaces files in use (one of
// them expanded from an archive) never leaves a damaged file for the
// machine's next start, what a killed run left is gone after the next, and
// the machine ends as one whose runs were never killed. QV_KILL_ROUNDS sets
// the number of kills (24 by default), QV_KILL_MIB the file's size.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/kill_harness.h"
#include "tests/test_util.h"

namespace qv::testing {
namespace {

int EnvInt(const char* name, int fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && std::atoi(value) > 0 ? std::atoi(value) : fallback;
}

TEST(KillTest, AKilledRunNeverLeavesADamagedFileForTheNextStart) {
  KillOptions options;
  // Under the sanitizers every run is slower; the kills there look for
  // memory faults rather than for moments.
  options.kills = EnvInt("QV_KILL_ROUNDS", kSanitized ? 8 : 24);
  options.file_bytes = static_cast<uint64_t>(EnvInt("QV_KILL_MIB", 50)) << 20;
  options.seed = static_cast<uint32_t>(EnvInt("QV_KILL_SEED", 1));
  const KillFigures f = RunKillHarness(options);
  ASSERT_EQ(f.error, "");
  std::printf(
      "kills %d (%d during a body, %d during an expansion), starts %d (%d killed before): "
      "files complete %d, damaged %d, leftovers %d, registry damaged %d; full run %.2f s\n",
      f.kills, f.kills_during_body, f.kills_during_expansion, f.rounds, f.boot_kills, f.complete,
      f.damaged, f.leftovers, f.registry_damaged, f.full_run_seconds);
  EXPECT_EQ(f.kills, options.kills);
  EXPECT_EQ(f.damaged, 0);
  EXPECT_EQ(f.complete, 2 * f.rounds);
  EXPECT_EQ(f.leftovers, 0) << f.leftover_names;
  EXPECT_EQ(f.registry_damaged, 0);
  EXPECT_TRUE(f.same_as_uninterrupted);
}

}  // namespace
}  // namespace qv::testing
