// ConnectionPool: at most a fixed number of database connections shared by
// the threads of one store, lent first come, first served. A call that finds
// them all busy waits in line; a connection given back goes straight to the
// first in line, so that a call arriving later cannot take it first and a
// waiting call is never passed over again and again while others come and go.
// A connection given back broken is dropped, and the next call in line (or
// the next to come) opens a new one in its place.
#ifndef QV_SERVER_CONNECTION_POOL_H_
#define QV_SERVER_CONNECTION_POOL_H_

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/status.h"

namespace qv::server {

template <typename Connection>
class ConnectionPool {
 public:
  // open makes a new connection; it runs outside the pool's lock.
  using Opener = std::function<Status(std::unique_ptr<Connection>*)>;

  ConnectionPool(int limit, Opener open) : limit_(limit), open_(std::move(open)) {}
  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

  // Adds an open connection to the idle ones (the one a store was opened
  // with); counts against the limit.
  void Add(std::unique_ptr<Connection> connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++connections_;
    idle_.push_back(std::move(connection));
  }

  // A connection for the calling thread: an idle one, a new one while there
  // are fewer than the limit, or else the next one given back, in the order
  // the calls came. The opener's status when a new one cannot be made.
  Status Acquire(std::unique_ptr<Connection>* connection) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (line_.empty() && !idle_.empty()) {
      *connection = std::move(idle_.back());
      idle_.pop_back();
      return Status::OK();
    }
    if (line_.empty() && connections_ < limit_) {
      ++connections_;
    } else {
      Waiter me;
      line_.push_back(&me);
      me.served.wait(lock, [&me] { return me.turn; });
      if (me.connection != nullptr) {
        *connection = std::move(me.connection);
        return Status::OK();
      }
      // Handed the place of a connection that was dropped: opens its own.
    }
    lock.unlock();
    Status status = open_(connection);
    if (!status.ok()) Drop();
    return status;
  }

  // Takes back a connection from Acquire; one that is no longer healthy is
  // dropped.
  void Release(std::unique_ptr<Connection> connection, bool healthy) {
    if (!healthy) {
      connection.reset();
      Drop();
      return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (line_.empty()) {
      idle_.push_back(std::move(connection));
      return;
    }
    Waiter* first = line_.front();
    line_.pop_front();
    first->connection = std::move(connection);
    first->turn = true;
    first->served.notify_one();
  }

  // How many calls wait in line.
  size_t waiting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return line_.size();
  }

 private:
  struct Waiter {
    std::condition_variable served;
    bool turn = false;
    std::unique_ptr<Connection> connection;  // none: open a new one
  };

  // A connection is gone (broken, or never made): its place goes to the
  // first in line, who opens a new one.
  void Drop() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (line_.empty()) {
      --connections_;
      return;
    }
    Waiter* first = line_.front();
    line_.pop_front();
    first->turn = true;
    first->served.notify_one();
  }

  const int limit_;
  const Opener open_;
  mutable std::mutex mutex_;
  int connections_ = 0;  // idle, lent, or being opened
  std::vector<std::unique_ptr<Connection>> idle_;
  std::deque<Waiter*> line_;
};

}  // namespace qv::server

#endif  // QV_SERVER_CONNECTION_POOL_H_
