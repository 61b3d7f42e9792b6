// WorkLane: a fixed set of threads that answer the connections handed to
// them, in order, from a queue of bounded length. The server runs two: one
// for every request, and a small one for logins, whose password checks are
// slow and costly, so that they never hold a thread another request needs.
//
// Submit may be called from any thread; Stop from any but the lane's own.
#ifndef QV_SERVER_WORK_LANE_H_
#define QV_SERVER_WORK_LANE_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "server/connection.h"

namespace qv::server {

class WorkLane {
 public:
  // How long the connection waited in the queue.
  using Serve = std::function<void(std::unique_ptr<Connection>, std::chrono::nanoseconds waited)>;

  // REQUIRES: threads >= 1, capacity >= 1. The threads run niceness
  // steps below normal (0: at normal priority).
  WorkLane(int threads, size_t capacity, int niceness, Serve serve);
  ~WorkLane();
  WorkLane(const WorkLane&) = delete;
  WorkLane& operator=(const WorkLane&) = delete;

  // Queues *connection and returns true; returns false and leaves it as it
  // was when the queue is full or the lane stopped.
  bool Submit(std::unique_ptr<Connection>* connection);
  // Serves what is queued, then ends the threads. Idempotent.
  void Stop();

 private:
  struct Queued {
    std::unique_ptr<Connection> connection;
    std::chrono::steady_clock::time_point since;
  };
  void Work();

  const size_t capacity_;
  const Serve serve_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Queued> queue_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
  std::mutex join_mutex_;
};

}  // namespace qv::server

#endif  // QV_SERVER_WORK_LANE_H_
