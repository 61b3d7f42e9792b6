// Failed logins held back per account and per address, step by step on a
// clock the test sets.
#include <gtest/gtest.h>

#include <string>

#include "server/login_throttle.h"

namespace qv::server {
namespace {

using std::chrono::milliseconds;

struct Step {
  int at_ms;
  const char* login;
  const char* address;
  bool admitted;
  bool right = false;  // the password was right
};

void Replay(const ThrottleLimits& limits, std::initializer_list<Step> steps) {
  LoginThrottle throttle(limits);
  const auto start = LoginThrottle::Clock::now();
  int index = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE("step " + std::to_string(index++) + ": " + step.login + " from " + step.address +
                 " at " + std::to_string(step.at_ms) + " ms");
    const auto now = start + milliseconds(step.at_ms);
    EXPECT_EQ(throttle.HoldsBack("KEY", step.login, step.address, now), !step.admitted);
    EXPECT_EQ(throttle.Admit("KEY", step.login, step.address, now), step.admitted);
    if (step.admitted && step.right) throttle.Succeeded("KEY", step.login, step.address);
  }
}

ThrottleLimits Limits() {
  ThrottleLimits limits;
  limits.account_free = 2;
  limits.account_delay = milliseconds(1000);
  limits.account_max_delay = milliseconds(4000);
  limits.forget = milliseconds(60'000);
  limits.address_burst = 5;
  limits.address_refill = milliseconds(1000);
  return limits;
}

TEST(LoginThrottleTest, AnAccountWaitsLongerAfterEachFailure) {
  Replay(Limits(), {
                       {0, "ann", "a", true},
                       {0, "ann", "b", true},
                       {0, "ann", "c", true},  // the third: 1 s until the next
                       {999, "ann", "d", false},
                       {999, "bob", "d", true},   // other accounts go on
                       {1000, "ann", "d", true},  // then 2 s
                       {2999, "ann", "e", false},
                       {3000, "ann", "e", true},  // then 4 s, the most
                       {7000, "ann", "f", true},  // and 4 s again
                       {10'999, "ann", "f", false},
                       {11'000, "ann", "f", true, true},  // right: the count starts again
                       {11'000, "ann", "f", true},
                       {11'000, "ann", "f", true},
                       {11'000, "ann", "g", true},
                       {11'001, "ann", "g", false},
                       {80'000, "ann", "g", true},  // forgotten after a minute
                       {80'000, "ann", "g", true},
                   });
}

TEST(LoginThrottleTest, AnAddressHasABurstOfFailuresThenOneASecond) {
  Replay(Limits(), {
                       {0, "u1", "a", true},
                       {0, "u2", "a", true},
                       {0, "u3", "a", true},
                       {0, "u4", "a", true},
                       {0, "u5", "a", true},
                       {0, "u6", "a", false},
                       {0, "u6", "b", true},  // other addresses go on
                       {1000, "u6", "a", true},
                       {1000, "u7", "a", false},
                       {2000, "u7", "a", true, true},  // a right one is given back
                       {2000, "u8", "a", true},
                       {2000, "u9", "a", false},
                       {9000, "u9", "a", true},  // refilled
                       {9000, "u10", "a", true},
                   });
}

TEST(LoginThrottleTest, KeepsAtMostMaxEntriesForgettingTheOldest) {
  ThrottleLimits limits = Limits();
  limits.max_entries = 8;
  limits.address_burst = 1;
  LoginThrottle throttle(limits);
  const auto at = [start = LoginThrottle::Clock::now()](int ms) {
    return start + milliseconds(ms);
  };
  // Each address fails once and is then held back for a second.
  for (int i = 0; i < 8; ++i) {
    const std::string name = std::to_string(i);
    EXPECT_TRUE(throttle.Admit("KEY", "u" + name, "x" + name, at(i)));
  }
  EXPECT_TRUE(throttle.Admit("KEY", "u8", "x8", at(8)));  // x0 and x1 make room
  EXPECT_TRUE(throttle.Admit("KEY", "v", "x0", at(9)));
  EXPECT_FALSE(throttle.Admit("KEY", "v", "x7", at(9)));
}

}  // namespace
}  // namespace qv::server
