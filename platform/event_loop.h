// EventLoop: the UI thread's message loop.
//
// Everything the control does runs on one thread, in handlers that this loop
// calls: timer ticks, events posted from other threads (a transfer's state
// changes), and the host's own calls. A handler may run the loop again
// (ProcessPendingMessages, a modal dialog's RunUntil); the loop then delivers
// other events in the middle of that handler, but never a timer tick to a
// timer whose handler is still running.
//
// Post() may be called from any thread; everything else belongs to the thread
// that created the loop.
//
// A window system keeps its own queue of events (input, exposure). When a
// NativeEventSource is set, the loop serves that queue too: it handles what is
// pending before every event of its own and in ProcessPendingMessages, and it
// waits in the source instead of on its own, so that windows stay alive while
// the control waits for a timer or a transfer. Without a source the loop
// behaves as if there were no window system.
//
// Driven by a host. A host that owns the thread's message loop (a component
// host that returns from the start-up call and keeps pumping its own
// messages) never calls RunUntil. It asks NextDueTime() when the loop next
// needs to run, arranges to be back by then (a system timer), and calls
// RunDue() when that time comes or when the wake callback fired. The wake
// callback is called, from whichever thread caused it, whenever the next due
// time may have become earlier: something was posted, a timer was enabled or
// its interval changed, a work token was released, Quit() was called. A
// host turns it into a message to its own thread and asks NextDueTime()
// again there. Handlers that run the loop themselves (a modal box,
// ProcessPendingMessages) work as before inside RunDue(); the invariants are
// the same in both modes.
//
// Text: the loop carries no text.
#ifndef QV_PLATFORM_EVENT_LOOP_H_
#define QV_PLATFORM_EVENT_LOOP_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>

namespace qv {

class EventLoop;

// The event queue of a window system, as the loop drives it.
class NativeEventSource {
 public:
  virtual ~NativeEventSource() = default;

  // Handles every event that is pending, without waiting. A source whose
  // look costs much may pass over a look that closely follows the last one
  // while the loop is not Idle(); its Wait() looks in any case.
  virtual void Check() = 0;
  // Waits for events and handles them, until one came, Wake() was called or
  // timeout passed (duration::max(): no limit).
  virtual void Wait(std::chrono::steady_clock::duration timeout) = 0;
  // Makes a Wait that is under way, or the next one, return soon. Safe from
  // any thread.
  virtual void Wake() = 0;
  // Something (a window that is shown) can still deliver events. When it
  // cannot, and the loop has nothing of its own to wait for, RunUntil gives up
  // as it does without a source.
  virtual bool Active() = 0;
};

// A timer on the loop. Ticks come interval milliseconds after it is enabled,
// then every interval while it stays enabled, when no posted event waits.
// An interval of kShortestIntervalMs or less is the shortest the loop knows:
// the tick comes as soon as the loop has no posted event to run, so that a
// timer which re-enables itself after each piece of work (the install run's)
// is not held back by a fixed wait between pieces.
class Timer {
 public:
  static constexpr uint32_t kShortestIntervalMs = 1;

  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  void SetEnabled(bool enabled);
  bool enabled() const { return enabled_; }
  void SetInterval(uint32_t milliseconds);
  uint32_t interval() const { return interval_ms_; }

 private:
  friend class EventLoop;
  Timer(EventLoop* loop, uint32_t interval_ms, std::function<void()> tick);
  // How long after being enabled (or ticking) the next tick is due.
  std::chrono::steady_clock::duration Delay() const;

  EventLoop* loop_;
  uint32_t interval_ms_;
  std::function<void()> tick_;
  bool enabled_ = false;
  bool running_ = false;
  uint64_t last_pass_ = 0;  // the pass of RunDue in which it last ticked
  std::chrono::steady_clock::time_point due_;
};

// Keeps the loop busy while it lives (a transfer in flight, say), so that a
// host waiting for the loop to go idle keeps waiting.
class WorkToken {
 public:
  explicit WorkToken(EventLoop* loop);
  ~WorkToken();
  WorkToken(const WorkToken&) = delete;
  WorkToken& operator=(const WorkToken&) = delete;

 private:
  EventLoop* loop_;
};

class EventLoop {
 public:
  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  std::unique_ptr<Timer> CreateTimer(uint32_t interval_ms,
                                     std::function<void()> tick);

  // Queues fn to run on the loop's thread. Safe from any thread.
  void Post(std::function<void()> fn);

  // Runs every posted event and every due timer, then returns without
  // waiting ("process pending messages"). A timer of the shortest interval
  // may tick many times in one call.
  void ProcessPendingMessages();

  // ---- Host-driven mode (see the top of the file) ----

  // When the loop next has something to run: now when an event is posted,
  // else the due time of the earliest enabled timer whose handler is not
  // running (it may lie in the past), else nullopt; nullopt too after Quit().
  // Work tokens do not count: what they wait for arrives as a posted event.
  std::optional<std::chrono::steady_clock::time_point> NextDueTime() const;

  // Runs what is due now and returns without waiting: the native source's
  // pending events, every posted event (also those posted meanwhile), and
  // each timer that was due when the call began, at most once, with the
  // posted events that arrive in between run before the next tick. Unlike
  // ProcessPendingMessages, a timer of the shortest interval ticks once per
  // call: its next tick is due at once, so the host comes back after serving
  // its own messages, which is the "next pass" of that timer.
  // Runs nothing after Quit().
  void RunDue();

  // Called whenever NextDueTime() may have become earlier (see the top of the
  // file), on the thread that caused it; empty to stop. The callback must be
  // quick and must not call into the loop. Once SetWakeCallback returns, the
  // previous callback is not called any more.
  void SetWakeCallback(std::function<void()> callback);

  // Runs events and timers, waiting for them as needed, until done() is true
  // (checked before waiting and after every event), or until Quit(). Nested
  // calls are allowed. Returns false when it stopped because of Quit() or
  // because nothing could ever make done() true (no timer, no work, nothing
  // posted).
  bool RunUntil(const std::function<bool()>& done);

  // Runs until the loop is idle (see Idle()).
  bool RunUntilIdle() { return RunUntil([this] { return Idle(); }); }

  // No timer enabled, no work token alive and nothing posted.
  bool Idle();

  // Makes every RunUntil return. Safe from any thread.
  void Quit();
  bool quitting() const;

  // Serves source's events while the loop runs (see above); nullptr detaches
  // it. The source must outlive its use.
  void SetNativeEventSource(NativeEventSource* source);
  NativeEventSource* native_event_source() const { return native_; }

 private:
  friend class Timer;
  friend class WorkToken;

  // Runs one ready event or timer; returns false when none was ready.
  bool RunOne();
  bool RunOnePosted();
  // Ticks the first timer that is enabled, not running and due by due_by;
  // with pass set, only one that has not ticked in that pass of RunDue.
  bool RunOneTimer(std::chrono::steady_clock::time_point due_by, uint64_t pass = 0);
  void Unregister(Timer* timer);
  std::chrono::steady_clock::time_point NextDue() const;
  // Wakes whoever waits: the condition variable, the native source and the
  // host's wake callback.
  void WakeWaiters();

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> posted_;  // guarded by mutex_
  bool quit_ = false;                         // guarded by mutex_
  int work_ = 0;                              // guarded by mutex_
  std::list<Timer*> timers_;
  uint64_t passes_ = 0;  // calls of RunDue so far
  // Held while the wake callback is replaced or called.
  std::mutex wake_callback_mutex_;
  std::function<void()> wake_callback_;  // guarded by wake_callback_mutex_
  // Set and read on the loop's thread; Wake() reaches it from others, so it
  // is atomic.
  std::atomic<NativeEventSource*> native_{nullptr};
};

}  // namespace qv

#endif  // QV_PLATFORM_EVENT_LOOP_H_
