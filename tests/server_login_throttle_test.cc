// Failed logins held back per account and per address, step by step on a
// clock the test sets, with the counts in a real (SQLite) database.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "server/login_throttle.h"
#include "tests/server_fixture.h"

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

class LoginThrottleTest : public testing::LoopbackServerTest {
 protected:
  LoginThrottleTest() : LoopbackServerTest("qvthrottle") {}
  void Replay(const ThrottleLimits& limits, std::initializer_list<Step> steps);
};

void LoginThrottleTest::Replay(const ThrottleLimits& limits, std::initializer_list<Step> steps) {
  const auto storage = testing::OpenStorage(db_path_);
  ASSERT_NE(storage, nullptr);
  LoginThrottle throttle(limits, storage.get());
  const auto start = LoginThrottle::Clock::now();
  int index = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE("step " + std::to_string(index++) + ": " + step.login + " from " + step.address +
                 " at " + std::to_string(step.at_ms) + " ms");
    const auto now = start + milliseconds(step.at_ms);
    bool held_back = false, admitted = false;
    ASSERT_TRUE(throttle.HoldsBack("KEY", step.login, step.address, now, &held_back).ok());
    EXPECT_EQ(held_back, !step.admitted);
    ASSERT_TRUE(throttle.Admit("KEY", step.login, step.address, now, &admitted).ok());
    EXPECT_EQ(admitted, step.admitted);
    if (step.admitted && step.right) {
      ASSERT_TRUE(throttle.Succeeded("KEY", step.login, step.address, now).ok());
    }
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

TEST_F(LoginThrottleTest, AnAccountWaitsLongerAfterEachFailure) {
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

TEST_F(LoginThrottleTest, AnAddressHasABurstOfFailuresThenOneASecond) {
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

}  // namespace
}  // namespace qv::server
