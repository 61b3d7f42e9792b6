// EventLoop: posted events first, then due timers, then wait.
#include "platform/event_loop.h"

#include <algorithm>

namespace qv {

using Clock = std::chrono::steady_clock;

Timer::Timer(EventLoop* loop, uint32_t interval_ms, std::function<void()> tick)
    : loop_(loop), interval_ms_(interval_ms), tick_(std::move(tick)) {}

Timer::~Timer() { loop_->Unregister(this); }

Clock::duration Timer::Delay() const {
  // The loop's resolution is one pass: an interval of a millisecond or less
  // asks for the next pass that has no posted event to run.
  if (interval_ms_ <= kShortestIntervalMs) return Clock::duration::zero();
  return std::chrono::milliseconds(interval_ms_);
}

void Timer::SetEnabled(bool enabled) {
  if (enabled && !enabled_) {
    due_ = Clock::now() + Delay();
  }
  enabled_ = enabled;
  if (enabled) loop_->WakeWaiters();
}

void Timer::SetInterval(uint32_t milliseconds) {
  interval_ms_ = milliseconds;
  due_ = Clock::now() + Delay();
  if (enabled_) loop_->WakeWaiters();
}

WorkToken::WorkToken(EventLoop* loop) : loop_(loop) {
  std::lock_guard<std::mutex> lock(loop_->mutex_);
  ++loop_->work_;
}

WorkToken::~WorkToken() {
  {
    std::lock_guard<std::mutex> lock(loop_->mutex_);
    --loop_->work_;
  }
  loop_->WakeWaiters();
}

EventLoop::EventLoop() = default;
EventLoop::~EventLoop() = default;

std::unique_ptr<Timer> EventLoop::CreateTimer(uint32_t interval_ms,
                                              std::function<void()> tick) {
  std::unique_ptr<Timer> timer(new Timer(this, interval_ms, std::move(tick)));
  timers_.push_back(timer.get());
  return timer;
}

void EventLoop::Unregister(Timer* timer) { timers_.remove(timer); }

void EventLoop::Post(std::function<void()> fn) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    posted_.push_back(std::move(fn));
  }
  WakeWaiters();
}

void EventLoop::WakeWaiters() {
  wake_.notify_all();
  if (NativeEventSource* native = native_.load()) native->Wake();
  std::lock_guard<std::mutex> lock(wake_callback_mutex_);
  if (wake_callback_) wake_callback_();
}

void EventLoop::SetWakeCallback(std::function<void()> callback) {
  std::lock_guard<std::mutex> lock(wake_callback_mutex_);
  wake_callback_ = std::move(callback);
}

void EventLoop::SetNativeEventSource(NativeEventSource* source) { native_ = source; }

bool EventLoop::RunOnePosted() {
  std::function<void()> fn;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (posted_.empty()) return false;
    fn = std::move(posted_.front());
    posted_.pop_front();
  }
  fn();
  return true;
}

bool EventLoop::RunOneTimer(Clock::time_point due_by, uint64_t pass) {
  // Only the scan looks at the list; the tick, which may create or destroy
  // timers, runs after it.
  Timer* ready = nullptr;
  for (Timer* timer : timers_) {
    if (timer->enabled_ && !timer->running_ && timer->due_ <= due_by &&
        (pass == 0 || timer->last_pass_ != pass)) {
      ready = timer;
      break;
    }
  }
  if (ready == nullptr) return false;
  ready->due_ = Clock::now() + ready->Delay();
  ready->running_ = true;
  ready->last_pass_ = pass;
  // Keep the timer's callback alive and detect its destruction meanwhile.
  auto tick = ready->tick_;
  tick();
  if (std::find(timers_.begin(), timers_.end(), ready) != timers_.end()) {
    ready->running_ = false;
  }
  return true;
}

bool EventLoop::RunOne() { return RunOnePosted() || RunOneTimer(Clock::now()); }

void EventLoop::ProcessPendingMessages() {
  // The window system's pending events first (repaints, a click on a button
  // that cancels), then the loop's own.
  if (NativeEventSource* native = native_.load()) native->Check();
  // Bounded so that a timer with a zero interval cannot keep us here.
  for (int i = 0; i < 1000 && !quitting(); ++i) {
    if (!RunOne()) break;
  }
}

void EventLoop::RunDue() {
  if (NativeEventSource* native = native_.load()) native->Check();
  const uint64_t pass = ++passes_;
  const auto due_by = Clock::now();
  // Bounded like ProcessPendingMessages, against events that post
  // themselves again.
  for (int i = 0; i < 1000 && !quitting(); ++i) {
    if (!RunOnePosted() && !RunOneTimer(due_by, pass)) break;
  }
}

std::optional<Clock::time_point> EventLoop::NextDueTime() const {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (quit_) return std::nullopt;
    if (!posted_.empty()) return Clock::now();
  }
  const auto next = NextDue();
  if (next == Clock::time_point::max()) return std::nullopt;
  return next;
}

Clock::time_point EventLoop::NextDue() const {
  auto next = Clock::time_point::max();
  for (const Timer* timer : timers_) {
    if (timer->enabled_ && !timer->running_) next = std::min(next, timer->due_);
  }
  return next;
}

bool EventLoop::Idle() {
  for (const Timer* timer : timers_) {
    if (timer->enabled_) return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  return posted_.empty() && work_ == 0;
}

bool EventLoop::RunUntil(const std::function<bool()>& done) {
  while (true) {
    if (done()) return true;
    if (quitting()) return false;
    NativeEventSource* native = native_.load();
    if (native != nullptr) {
      // Window events come between the loop's own, so that a steady stream
      // of timer ticks cannot starve them.
      native->Check();
      if (done()) return true;
      if (quitting()) return false;
    }
    if (RunOne()) continue;
    const auto next = NextDue();
    std::unique_lock<std::mutex> lock(mutex_);
    if (!posted_.empty() || quit_) continue;
    if (native != nullptr) {
      if (next == Clock::time_point::max() && work_ == 0 && !native->Active()) {
        lock.unlock();
        return done();
      }
      lock.unlock();
      // A Post() from now on wakes the source, so nothing is missed between
      // the check above and the wait.
      native->Wait(next == Clock::time_point::max() ? Clock::duration::max() : next - Clock::now());
      continue;
    }
    if (next == Clock::time_point::max()) {
      if (work_ == 0) {
        // Nothing can happen any more unless done() already holds.
        lock.unlock();
        return done();
      }
      wake_.wait(lock);
    } else {
      wake_.wait_until(lock, next);
    }
  }
}

void EventLoop::Quit() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  WakeWaiters();
}

bool EventLoop::quitting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return quit_;
}

}  // namespace qv
