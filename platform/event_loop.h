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
#ifndef QV_PLATFORM_EVENT_LOOP_H_
#define QV_PLATFORM_EVENT_LOOP_H_

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

// A timer on the loop. Ticks come interval milliseconds after it is enabled,
// then every interval while it stays enabled, when no posted event waits.
class Timer {
 public:
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

 private:
  friend class Timer;
  friend class WorkToken;

  // Runs one ready event or timer; returns false when none was ready.
  bool RunOne();
  bool RunOnePosted();
  bool RunOneTimer();
  void Unregister(Timer* timer);
  std::chrono::steady_clock::time_point NextDue() const;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> posted_;  // guarded by mutex_
  bool quit_ = false;                         // guarded by mutex_
  int work_ = 0;                              // guarded by mutex_
  std::list<Timer*> timers_;
};

}  // namespace qv

#endif  // QV_PLATFORM_EVENT_LOOP_H_
