// The event loop driven by a host's message pump: timers, posts from other
// threads and nested waits, under the thread's own GetMessage loop.
#include "platform/win32/win32_message_loop.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32/windows_api.h"

namespace qv::win32 {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

// The host's side: pumps the thread's messages until WM_QUIT.
void PumpUntilQuit() {
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

TEST(Win32MessageLoopTest, PlansTheNextVisitFromTheDueTime) {
  const Clock::time_point now = Clock::now();
  struct Case {
    std::optional<Clock::time_point> due;
    NextVisit expected;
  };
  const Case cases[] = {
      {std::nullopt, {NextVisit::Kind::kNoTimer}},
      {now, {NextVisit::Kind::kPostNow}},
      {now - milliseconds(50), {NextVisit::Kind::kPostNow}},
      {now + microseconds(1), {NextVisit::Kind::kTimer, 1}},
      {now + milliseconds(25), {NextVisit::Kind::kTimer, 25}},
      {now + microseconds(25'001), {NextVisit::Kind::kTimer, 26}},  // never early
      {now + std::chrono::hours(24 * 365), {NextVisit::Kind::kTimer, USER_TIMER_MAXIMUM}},
  };
  for (const Case& c : cases) {
    const NextVisit got = PlanNextVisit(c.due, now);
    EXPECT_EQ(static_cast<int>(got.kind), static_cast<int>(c.expected.kind));
    EXPECT_EQ(got.timer_ms, c.expected.timer_ms);
  }
}

TEST(Win32MessageLoopTest, TheHostPumpDrivesAShortTimerAndPostsInOrder) {
  EventLoop loop;
  Win32MessageLoop window(&loop);
  ASSERT_TRUE(window.ok());

  constexpr int kTicks = 200;
  constexpr int kPosts = 500;
  int ticks = 0;
  std::vector<int> arrived;
  auto finish_when_done = [&] {
    if (ticks >= kTicks && static_cast<int>(arrived.size()) == kPosts) PostQuitMessage(0);
  };
  // The install run's pattern: a 1 ms timer that disables itself in the tick
  // and enables itself again after its piece of work.
  std::unique_ptr<Timer> timer;
  timer = loop.CreateTimer(Timer::kShortestIntervalMs, [&] {
    timer->SetEnabled(false);
    if (++ticks < kTicks) timer->SetEnabled(true);
    finish_when_done();
  });
  timer->SetEnabled(true);
  std::thread poster([&] {
    for (int i = 0; i < kPosts; ++i) {
      loop.Post([&, i] {
        arrived.push_back(i);
        finish_when_done();
      });
    }
  });
  PumpUntilQuit();
  poster.join();

  EXPECT_EQ(ticks, kTicks);
  ASSERT_EQ(static_cast<int>(arrived.size()), kPosts);
  for (int i = 0; i < kPosts; ++i) ASSERT_EQ(arrived[i], i);
}

// A window of the host's that counts the input it receives.
int g_input_received = 0;
LRESULT CALLBACK InputWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_USER) {
    ++g_input_received;
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

TEST(Win32MessageLoopTest, InputReachesTheHostsWindowWhileAHandlerProcessesPendingMessages) {
  EventLoop loop;
  Win32MessageLoop window(&loop);
  ASSERT_TRUE(window.ok());
  WNDCLASSEXW input_class{};
  input_class.cbSize = sizeof(input_class);
  input_class.lpfnWndProc = &InputWindowProc;
  input_class.hInstance = GetModuleHandleW(nullptr);
  input_class.lpszClassName = L"QvTestInputWindow";
  RegisterClassExW(&input_class);
  HWND input = CreateWindowExW(0, L"QvTestInputWindow", L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                               nullptr, GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(input, nullptr);
  g_input_received = 0;

  // A download's pattern: while a transfer keeps the loop busy, a handler
  // works in small steps and processes pending messages after each, many
  // times a millisecond. Input that arrives meanwhile, from this thread or
  // another, gets through while it works (the deadline only keeps a failure
  // from hanging).
  loop.Post([&] {
    WorkToken transfer_in_flight(&loop);
    PostMessageW(input, WM_USER, 0, 0);
    std::thread([input] { PostMessageW(input, WM_USER, 0, 0); }).join();
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (g_input_received < 2 && Clock::now() < deadline) {
      loop.ProcessPendingMessages();
    }
    PostQuitMessage(0);
  });
  PumpUntilQuit();
  DestroyWindow(input);

  EXPECT_EQ(g_input_received, 2);
}

TEST(Win32MessageLoopTest, ANestedWaitInsideAHandlerKeepsEverythingMoving) {
  EventLoop loop;
  Win32MessageLoop window(&loop);
  ASSERT_TRUE(window.ok());

  std::vector<std::string> order;
  bool answered = false;
  std::thread worker;
  loop.Post([&] {
    order.push_back("handler");
    // A modal wait: the answer comes from another thread through the loop.
    // The worker holds a work token until it has posted, as a transfer does.
    auto token = std::make_shared<WorkToken>(&loop);
    worker = std::thread([&, token] { loop.Post([&] { answered = true; }); });
    EXPECT_TRUE(loop.RunUntil([&] { return answered; }));
    order.push_back("answered");
    // After the nested wait the host's pump serves the loop again.
    loop.Post([&] {
      order.push_back("after");
      PostQuitMessage(0);
    });
  });
  PumpUntilQuit();
  worker.join();

  EXPECT_EQ(order, (std::vector<std::string>{"handler", "answered", "after"}));
}

TEST(Win32MessageLoopTest, TheHostsQuitMessageEndsANestedWaitAndReachesTheHost) {
  EventLoop loop;
  Win32MessageLoop window(&loop);
  ASSERT_TRUE(window.ok());

  bool waited = true;
  loop.Post([&] {
    PostQuitMessage(7);
    waited = loop.RunUntil([] { return false; });
  });
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  const int result = static_cast<int>(message.wParam);

  EXPECT_FALSE(waited);  // the wait gave up because of the quit
  EXPECT_EQ(result, 7);
  EXPECT_TRUE(loop.quitting());
}

}  // namespace
}  // namespace qv::win32
