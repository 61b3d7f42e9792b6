// A host's own message loop, as the tests play it: the host owns the thread,
// sleeps on its own condition variable until the event loop's next due time
// or until the loop's wake callback fires, and runs the loop only through
// RunDue. Nothing of the loop's own waiting is used.
#ifndef QV_TESTS_HOST_LOOP_H_
#define QV_TESTS_HOST_LOOP_H_

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "platform/event_loop.h"

namespace qv::testing {

class HostLoop {
 public:
  explicit HostLoop(EventLoop* loop) : loop_(loop) {
    loop_->SetWakeCallback([this] {
      std::lock_guard<std::mutex> lock(mutex_);
      woken_ = true;
      wake_.notify_all();
    });
  }
  ~HostLoop() { loop_->SetWakeCallback(nullptr); }
  HostLoop(const HostLoop&) = delete;
  HostLoop& operator=(const HostLoop&) = delete;

  // Serves the loop until done() holds. False when nothing could ever make
  // it hold (nothing due, the loop idle, no wake), or when a wake that the
  // loop owed never came.
  bool RunUntil(const std::function<bool()>& done) {
    while (!done()) {
      const auto due = loop_->NextDueTime();
      const bool idle = loop_->Idle();
      {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!woken_ && !due && idle) return false;
        if (due) {
          wake_.wait_until(lock, *due, [this] { return woken_; });
        } else if (!wake_.wait_for(lock, kLostWake, [this] { return woken_; })) {
          ADD_FAILURE() << "the loop has work outstanding but never woke its host";
          return false;
        }
        woken_ = false;
      }
      ++passes;
      loop_->RunDue();
    }
    return true;
  }

  // Calls of RunDue so far.
  int passes = 0;

 private:
  // Only a guard against a hanging test: a wake comes at once or never.
  static constexpr std::chrono::seconds kLostWake{20};

  EventLoop* loop_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool woken_ = false;  // guarded by mutex_
};

}  // namespace qv::testing

#endif  // QV_TESTS_HOST_LOOP_H_
