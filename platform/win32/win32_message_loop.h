// Win32MessageLoop: an EventLoop driven by the thread's own message loop.
//
// A component lives on its host's thread and returns from every call; the
// host pumps the messages (GetMessage/DispatchMessage). This object gives the
// loop a hidden message-only window there. The loop's wake callback posts a
// private message to that window (from any thread); on that message, or on
// the window's timer, the window runs what is due (RunDue) and arranges the
// next visit: due now -> the private message again; sooner than a window
// timer can fire (about 10 ms, far too slow for a 1 ms timer that re-arms
// itself after each piece of work) -> a thread pool timer that posts that
// message when the time has come; later -> a window timer for the time left;
// nothing -> no timer.
//
// It also serves as the loop's NativeEventSource, so a RunUntil of the core
// (a modal wait) keeps dispatching the thread's messages. While the loop runs
// itself that way, the window's own messages are not served there (the loop
// is already running its events); a fallback window timer brings the window
// back once the host pumps again.
//
// While the loop is busy (a transfer in flight, a timer running), Check()
// looks into the queue at most once a millisecond: a download calls it after
// every chunk it reads, and each look is a round trip to the window system
// (about 0.1 ms under Wine, so a look per 2048-byte chunk held a download
// near 18 MB/s). Input still gets through within a millisecond. An idle loop
// looks at every Check(), and Wait() always looks once its wait ends.
//
// Used on the thread that created it, except the wake-ups, which any thread
// may cause.
//
// Text: the loop carries no text.
#ifndef QV_PLATFORM_WIN32_WIN32_MESSAGE_LOOP_H_
#define QV_PLATFORM_WIN32_WIN32_MESSAGE_LOOP_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

#include "platform/event_loop.h"

namespace qv::win32 {

// What the window does after a visit, for the loop's next due time.
struct NextVisit {
  enum class Kind { kPostNow, kTimer, kNoTimer };
  Kind kind;
  uint32_t timer_ms = 0;  // for kTimer: whole milliseconds, rounded up
  bool operator==(const NextVisit&) const = default;
};
NextVisit PlanNextVisit(std::optional<std::chrono::steady_clock::time_point> due,
                        std::chrono::steady_clock::time_point now);

class Win32MessageLoop : public NativeEventSource {
 public:
  // Attaches to *loop (which must outlive this) on the calling thread.
  explicit Win32MessageLoop(EventLoop* loop);
  ~Win32MessageLoop() override;
  Win32MessageLoop(const Win32MessageLoop&) = delete;
  Win32MessageLoop& operator=(const Win32MessageLoop&) = delete;

  // The window exists and the loop is attached.
  bool ok() const { return window_ != nullptr; }

  // NativeEventSource: the thread's message queue.
  void Check() override;
  void Wait(std::chrono::steady_clock::duration timeout) override;
  void Wake() override;
  // A visible window of this thread can still deliver input.
  bool Active() override;

 private:
  friend struct MessageWindow;  // the window procedure
  friend struct SoonTimer;      // the pool timer's callback
  // The window's private message or timer arrived.
  void Visit();
  void ArrangeNextVisit();
  void ArmTimer(uint32_t ms);
  void DisarmTimer();
  void ArmSoonTimer(uint32_t ms);
  void DisarmSoonTimer();
  void PostVisit();
  // Dispatches every message in the thread's queue.
  void Drain();

  EventLoop* loop_;
  void* window_ = nullptr;  // HWND
  void* wake_event_ = nullptr;  // auto-reset event for Wait()
  std::atomic<bool> visit_posted_{false};
  std::atomic<bool> waiting_{false};  // Wait() is under way
  bool timer_armed_ = false;  // the window's timer is set (until killed)
  void* soon_timer_ = nullptr;  // the pool timer for short times (a PTP_TIMER)
  bool soon_timer_armed_ = false;
  int dispatching_ = 0;  // depth of Drain() calls under way
  std::chrono::steady_clock::time_point last_look_{};  // the last Drain()
  bool visiting_ = false;
};

}  // namespace qv::win32

#endif  // QV_PLATFORM_WIN32_WIN32_MESSAGE_LOOP_H_
