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

namespace qv {

class EventLoop;

// The event queue of a window system, as the loop drives it.
class NativeEventSource {
 public:
  virtual ~NativeEventSource() = default;

  // Handles every event that is pending, without waiting.
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
  // waiting ("process pending messages").
  void ProcessPendingMessages();

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
  bool RunOneTimer();
  void Unregister(Timer* timer);
  std::chrono::steady_clock::time_point NextDue() const;
  // Wakes whoever waits: the condition variable and the native source.
  void WakeWaiters();

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> posted_;  // guarded by mutex_
  bool quit_ = false;                         // guarded by mutex_
  int work_ = 0;                              // guarded by mutex_
  std::list<Timer*> timers_;
  // Set and read on the loop's thread; Wake() reaches it from others, so it
  // is atomic.
  std::atomic<NativeEventSource*> native_{nullptr};
};

}  // namespace qv

#endif  // QV_PLATFORM_EVENT_LOOP_H_
