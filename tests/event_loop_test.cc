// The UI thread's event loop: timers, posted events, work tokens, nested
// loops, Quit, and the loop driven by a host's own message loop.
#include "platform/event_loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/host_loop.h"

namespace qv {
namespace {

using namespace std::chrono_literals;

// ---- Timers -----------------------------------------------------------------

TEST(EventLoopTimerTest, TicksAfterEnableAndKeepsTickingWhileEnabled) {
  EventLoop loop;
  int ticks = 0;
  auto timer = loop.CreateTimer(1, [&] { ++ticks; });
  EXPECT_FALSE(timer->enabled());
  EXPECT_EQ(timer->interval(), 1u);
  EXPECT_TRUE(loop.Idle());

  timer->SetEnabled(true);
  EXPECT_FALSE(loop.Idle());
  EXPECT_TRUE(loop.RunUntil([&] { return ticks >= 3; }));
  EXPECT_EQ(ticks, 3);

  timer->SetEnabled(false);
  EXPECT_TRUE(loop.Idle());
}

TEST(EventLoopTimerTest, ShortestIntervalTicksAtTheNextPassButAfterPostedEvents) {
  EventLoop loop;
  std::vector<char> order;
  auto shortest = loop.CreateTimer(Timer::kShortestIntervalMs, [&] { order.push_back('t'); });
  auto longer = loop.CreateTimer(50, [&] { order.push_back('L'); });
  shortest->SetEnabled(true);
  longer->SetEnabled(true);
  loop.Post([&] { order.push_back('p'); });

  // No wait at all: the posted event first, then the shortest timer, which
  // stays due on every pass; the 50 ms timer is not due yet.
  loop.ProcessPendingMessages();
  ASSERT_GE(order.size(), 3u);
  EXPECT_EQ(order[0], 'p');
  EXPECT_TRUE(std::all_of(order.begin() + 1, order.end(), [](char c) { return c == 't'; }));
}

TEST(EventLoopTimerTest, DisabledTimerNeverTicks) {
  EventLoop loop;
  int ticks = 0;
  auto never_enabled = loop.CreateTimer(1, [&] { ++ticks; });
  auto switched_off = loop.CreateTimer(1, [&] { ++ticks; });
  switched_off->SetEnabled(true);
  switched_off->SetEnabled(false);

  // Nothing can ever happen, so the loop gives up instead of waiting.
  EXPECT_FALSE(loop.RunUntil([&] { return ticks > 0; }));
  std::this_thread::sleep_for(5ms);
  loop.ProcessPendingMessages();
  EXPECT_EQ(ticks, 0);
}

TEST(EventLoopTimerTest, HandlerThatDisablesItsTimerTicksOnce) {
  EventLoop loop;
  int ticks = 0;
  std::unique_ptr<Timer> timer;
  timer = loop.CreateTimer(1, [&] {
    ++ticks;
    timer->SetEnabled(false);
  });
  timer->SetEnabled(true);
  EXPECT_TRUE(loop.RunUntilIdle());
  EXPECT_EQ(ticks, 1);

  // Enabled again, it ticks again, once.
  timer->SetEnabled(true);
  EXPECT_TRUE(loop.RunUntilIdle());
  EXPECT_EQ(ticks, 2);
}

TEST(EventLoopTimerTest, NoReentrantTickWhileHandlerRunsNestedLoop) {
  EventLoop loop;
  int ticks = 0;
  int depth = 0;
  int max_depth = 0;
  int ticks_seen_in_nested_loop = -1;
  int other_ticks = 0;
  int posted_runs = 0;

  std::unique_ptr<Timer> other;
  other = loop.CreateTimer(1, [&] {
    if (++other_ticks >= 5) other->SetEnabled(false);
  });
  std::unique_ptr<Timer> timer;
  timer = loop.CreateTimer(1, [&] {
    ++ticks;
    max_depth = std::max(max_depth, ++depth);
    if (ticks == 1) {
      // A modal loop inside the handler: other timers and posted events are
      // delivered, this timer (still enabled and due) is not.
      loop.Post([&] { ++posted_runs; });
      EXPECT_TRUE(loop.RunUntil([&] { return other_ticks >= 5; }));
      std::this_thread::sleep_for(3ms);
      loop.ProcessPendingMessages();
      ticks_seen_in_nested_loop = ticks;
    }
    if (ticks == 3) timer->SetEnabled(false);
    --depth;
  });
  timer->SetEnabled(true);
  other->SetEnabled(true);

  EXPECT_TRUE(loop.RunUntilIdle());
  EXPECT_EQ(max_depth, 1);
  EXPECT_EQ(ticks_seen_in_nested_loop, 1);
  EXPECT_EQ(ticks, 3);
  EXPECT_EQ(other_ticks, 5);
  EXPECT_EQ(posted_runs, 1);
}

TEST(EventLoopTimerTest, TimerMayBeDestroyedByItsOwnTick) {
  EventLoop loop;
  int ticks = 0;
  std::unique_ptr<Timer> timer;
  timer = loop.CreateTimer(1, [&] {
    ++ticks;
    timer.reset();
  });
  timer->SetEnabled(true);
  EXPECT_TRUE(loop.RunUntil([&] { return timer == nullptr; }));
  EXPECT_TRUE(loop.RunUntilIdle());
  EXPECT_EQ(ticks, 1);
}

// ---- Posted events ----------------------------------------------------------

TEST(EventLoopPostTest, ProcessPendingMessagesRunsPostedEventsInOrder) {
  EventLoop loop;
  std::vector<int> order;
  loop.Post([&] { order.push_back(1); });
  loop.Post([&] {
    order.push_back(2);
    // Posted while the loop drains: still run by the same call.
    loop.Post([&] { order.push_back(4); });
  });
  loop.Post([&] { order.push_back(3); });

  loop.ProcessPendingMessages();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
  EXPECT_TRUE(loop.Idle());
}

TEST(EventLoopPostTest, ProcessPendingMessagesReturnsWithoutWaiting) {
  EventLoop loop;
  // Work outstanding and a timer that is far from due: nothing is ready, so
  // the call must return at once rather than wait for either.
  WorkToken token(&loop);
  int ticks = 0;
  auto timer = loop.CreateTimer(60000, [&] { ++ticks; });
  timer->SetEnabled(true);
  loop.ProcessPendingMessages();
  EXPECT_EQ(ticks, 0);
  EXPECT_FALSE(loop.Idle());
}

// ---- Work tokens ------------------------------------------------------------

// Released on another thread, or by an event posted from one (a transfer
// finishing: its completion runs on the loop thread and releases the work it
// held), which is also what wakes a loop that waits.
TEST(EventLoopWorkTokenTest, RunUntilIdleWaitsUntilTheTokenIsReleased) {
  for (const bool by_posted_event : {false, true}) {
    SCOPED_TRACE(by_posted_event ? "by a posted event" : "on another thread");
    EventLoop loop;
    auto token = std::make_unique<WorkToken>(&loop);
    EXPECT_FALSE(loop.Idle());
    std::atomic<bool> released{false};
    std::thread worker([&] {
      std::this_thread::sleep_for(20ms);
      released = true;
      if (by_posted_event) {
        loop.Post([&] { token.reset(); });
      } else {
        token.reset();
      }
    });
    EXPECT_TRUE(loop.RunUntilIdle());
    EXPECT_TRUE(released);
    worker.join();
    EXPECT_EQ(token, nullptr);
  }
}

// ---- Quit -------------------------------------------------------------------

TEST(EventLoopQuitTest, QuitFromAnotherThreadEndsWaitingRun) {
  EventLoop loop;
  WorkToken token(&loop);
  EXPECT_FALSE(loop.quitting());
  std::thread quitter([&] {
    std::this_thread::sleep_for(20ms);
    loop.Quit();
  });
  EXPECT_FALSE(loop.RunUntil([] { return false; }));
  EXPECT_TRUE(loop.quitting());
  quitter.join();
}

TEST(EventLoopQuitTest, QuitInNestedLoopEndsOuterLoopToo) {
  EventLoop loop;
  WorkToken token(&loop);
  bool nested_result = true;
  bool after_quit_ran = false;
  loop.Post([&] {
    loop.Post([&] {
      loop.Quit();
      loop.Post([&] { after_quit_ran = true; });
    });
    nested_result = loop.RunUntil([] { return false; });
  });
  EXPECT_FALSE(loop.RunUntil([] { return false; }));
  EXPECT_FALSE(nested_result);
  EXPECT_FALSE(after_quit_ran);
}

// ---- Driven by a host ---------------------------------------------------------

using testing::HostLoop;

// What a host learns from the loop after each kind of change: whether the
// wake callback fired, and when the loop is next due.
TEST(EventLoopHostTest, NextDueTimeAndWakesFollowEveryChange) {
  enum class Due { kNever, kNow, kLater };
  struct Case {
    const char* what;
    bool timer_enabled_before;
    std::function<void(EventLoop&, Timer&)> act;
    bool wakes;
    Due due;
  };
  const std::vector<Case> cases = {
      {"nothing", false, [](EventLoop&, Timer&) {}, false, Due::kNever},
      {"post from another thread", false,
       [](EventLoop& loop, Timer&) { std::thread([&] { loop.Post([] {}); }).join(); }, true,
       Due::kNow},
      {"enable", false, [](EventLoop&, Timer& t) { t.SetEnabled(true); }, true, Due::kLater},
      {"disable", true, [](EventLoop&, Timer& t) { t.SetEnabled(false); }, false, Due::kNever},
      {"shortest interval while enabled", true,
       [](EventLoop&, Timer& t) { t.SetInterval(Timer::kShortestIntervalMs); }, true, Due::kNow},
      {"interval while disabled", false, [](EventLoop&, Timer& t) { t.SetInterval(1); }, false,
       Due::kNever},
      {"work token released", false, [](EventLoop& loop, Timer&) { WorkToken token(&loop); }, true,
       Due::kNever},
      {"quit with an event posted", false,
       [](EventLoop& loop, Timer&) {
         loop.Post([] {});
         loop.Quit();
       },
       true, Due::kNever},
      {"callback removed", false,
       [](EventLoop& loop, Timer&) {
         loop.SetWakeCallback(nullptr);
         loop.Post([] {});
       },
       false, Due::kNow},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EventLoop loop;
    auto timer = loop.CreateTimer(60000, [] {});
    timer->SetEnabled(c.timer_enabled_before);
    std::atomic<int> wakes{0};
    loop.SetWakeCallback([&] { ++wakes; });
    const auto before = std::chrono::steady_clock::now();
    c.act(loop, *timer);
    EXPECT_EQ(wakes > 0, c.wakes);
    const auto due = loop.NextDueTime();
    switch (c.due) {
      case Due::kNever:
        EXPECT_FALSE(due.has_value());
        break;
      case Due::kNow:
        ASSERT_TRUE(due.has_value());
        EXPECT_LE(*due, std::chrono::steady_clock::now());
        break;
      case Due::kLater:
        ASSERT_TRUE(due.has_value());
        EXPECT_GE(*due, before + 60s);
        break;
    }
  }
}

TEST(EventLoopHostTest, RunDueTicksEachDueTimerOnceAfterThePostedEvents) {
  EventLoop loop;
  std::string order;
  bool posted_from_tick = false;
  std::optional<std::chrono::steady_clock::time_point> due_in_tick;
  auto shortest = loop.CreateTimer(Timer::kShortestIntervalMs, [&] {
    order += 't';
    due_in_tick = loop.NextDueTime();
    if (!posted_from_tick) loop.Post([&] { order += 'q'; });
    posted_from_tick = true;
  });
  auto longer = loop.CreateTimer(60000, [&] { order += 'L'; });
  shortest->SetEnabled(true);
  longer->SetEnabled(true);
  loop.Post([&] { order += 'p'; });

  // One pass: the event, one tick, the event the tick posted; the shortest
  // timer is due again at once but waits for the next pass, and while its
  // handler ran only the far timer was due.
  loop.RunDue();
  EXPECT_EQ(order, "ptq");
  ASSERT_TRUE(due_in_tick.has_value());
  EXPECT_GT(*due_in_tick, std::chrono::steady_clock::now() + 30s);
  const auto next = loop.NextDueTime();
  ASSERT_TRUE(next.has_value());
  EXPECT_LE(*next, std::chrono::steady_clock::now());
  loop.RunDue();
  EXPECT_EQ(order, "ptqt");

  loop.Quit();  // nothing runs any more
  loop.Post([&] { order += 'x'; });
  loop.RunDue();
  EXPECT_EQ(order, "ptqt");
}

TEST(EventLoopHostTest, HostRunsTheLoopOnlyWhenATimerIsDue) {
  EventLoop loop;
  HostLoop host(&loop);
  int ticks = 0;
  std::unique_ptr<Timer> timer;
  timer = loop.CreateTimer(15, [&] {
    if (++ticks == 3) timer->SetEnabled(false);
  });
  timer->SetEnabled(true);
  EXPECT_TRUE(host.RunUntil([&] { return ticks == 3; }));
  // One pass for the wake when the timer was enabled, then one as each tick
  // came due: the host slept in between.
  EXPECT_EQ(host.passes, 4);
  EXPECT_FALSE(host.RunUntil([] { return false; }));
}

TEST(EventLoopHostTest, EventsPostedFromAnotherThreadWakeTheHost) {
  EventLoop loop;
  HostLoop host(&loop);
  auto token = std::make_unique<WorkToken>(&loop);  // a transfer in flight
  std::vector<int> order;                           // loop thread only
  std::vector<std::thread::id> threads;
  std::thread worker([&] {
    for (int i = 0; i < 50; ++i) {
      loop.Post([&, i] {
        order.push_back(i);
        threads.push_back(std::this_thread::get_id());
      });
    }
    loop.Post([&] { token.reset(); });
  });
  EXPECT_TRUE(host.RunUntil([&] { return loop.Idle(); }));
  worker.join();
  ASSERT_EQ(order.size(), 50u);
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
  EXPECT_TRUE(std::all_of(threads.begin(), threads.end(),
                          [](std::thread::id id) { return id == std::this_thread::get_id(); }));
  EXPECT_EQ(token, nullptr);
}

}  // namespace
}  // namespace qv
