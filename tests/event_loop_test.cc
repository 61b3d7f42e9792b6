// The UI thread's event loop: timers, posted events, work tokens, nested
// loops and Quit.
#include "platform/event_loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

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

TEST(EventLoopPostTest, PostFromAnotherThreadWakesRunUntil) {
  EventLoop loop;
  auto token = std::make_unique<WorkToken>(&loop);  // keeps RunUntil waiting
  bool ran = false;                                 // loop thread only
  std::thread poster([&] {
    std::this_thread::sleep_for(20ms);
    loop.Post([&] { ran = true; });
  });
  EXPECT_TRUE(loop.RunUntil([&] { return ran; }));
  poster.join();
  token.reset();
  EXPECT_TRUE(loop.Idle());
}

TEST(EventLoopPostTest, RunUntilGivesUpWhenNothingCanHappen) {
  EventLoop loop;
  EXPECT_FALSE(loop.RunUntil([] { return false; }));
  EXPECT_TRUE(loop.RunUntil([] { return true; }));
}

// ---- Work tokens ------------------------------------------------------------

TEST(EventLoopWorkTokenTest, RunUntilIdleWaitsUntilTokenReleased) {
  EventLoop loop;
  auto token = std::make_unique<WorkToken>(&loop);
  EXPECT_FALSE(loop.Idle());
  std::atomic<bool> released{false};
  std::thread worker([&] {
    std::this_thread::sleep_for(20ms);
    released = true;
    token.reset();
  });
  EXPECT_TRUE(loop.RunUntilIdle());
  EXPECT_TRUE(released);
  worker.join();
}

TEST(EventLoopWorkTokenTest, TokenReleasedByPostedEventEndsRun) {
  EventLoop loop;
  auto token = std::make_unique<WorkToken>(&loop);
  std::thread worker([&] {
    std::this_thread::sleep_for(10ms);
    // A transfer finishing: its completion runs on the loop thread and
    // releases the work it held.
    loop.Post([&] { token.reset(); });
  });
  EXPECT_TRUE(loop.RunUntilIdle());
  EXPECT_EQ(token, nullptr);
  worker.join();
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

}  // namespace
}  // namespace qv
