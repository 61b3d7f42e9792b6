// The lane's threads and queue.
#include "server/work_lane.h"

#include <sys/resource.h>
#include <unistd.h>

namespace qv::server {

WorkLane::WorkLane(int threads, size_t capacity, int niceness, Serve serve)
    : capacity_(capacity), serve_(std::move(serve)) {
  for (int i = 0; i < threads; ++i) {
    threads_.emplace_back([this, niceness] {
      // Linux gives each thread a niceness of its own; lowering one's own
      // needs no privilege.
      if (niceness > 0) setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), niceness);
      Work();
    });
  }
}

WorkLane::~WorkLane() { Stop(); }

bool WorkLane::Submit(std::unique_ptr<Connection>* connection) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ || queue_.size() >= capacity_) return false;
    queue_.push_back({std::move(*connection), std::chrono::steady_clock::now()});
  }
  ready_.notify_one();
  return true;
}

void WorkLane::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  ready_.notify_all();
  std::lock_guard<std::mutex> lock(join_mutex_);
  for (std::thread& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
}

void WorkLane::Work() {
  while (true) {
    Queued next;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopping, and nothing left
      next = std::move(queue_.front());
      queue_.pop_front();
    }
    serve_(std::move(next.connection), std::chrono::steady_clock::now() - next.since);
  }
}

}  // namespace qv::server
