// The connection pool's order and limit, with many threads at once.
#include "server/connection_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qv::server {
namespace {

struct Connection {
  int id;
};

// A pool of at most limit connections that counts what it opens; opening
// fails while fail_opens is set.
struct CountingPool {
  explicit CountingPool(int limit)
      : pool(limit, [this](std::unique_ptr<Connection>* connection) {
          if (fail_opens) return Status::NotFound("the database is down");
          *connection = std::make_unique<Connection>(Connection{++opened});
          return Status::OK();
        }) {}

  void WaitForLine(size_t n) {
    while (pool.waiting() != n) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  std::atomic<int> opened{0};
  std::atomic<bool> fail_opens{false};
  ConnectionPool<Connection> pool;
};

TEST(ConnectionPoolTest, ACallGivenBackGoesToTheFirstInLine) {
  CountingPool counting(1);
  std::unique_ptr<Connection> held;
  ASSERT_TRUE(counting.pool.Acquire(&held).ok());

  std::mutex order_mutex;
  std::vector<std::string> order;
  const auto borrow = [&](const std::string& name) {
    std::unique_ptr<Connection> mine;
    ASSERT_TRUE(counting.pool.Acquire(&mine).ok());
    {
      std::lock_guard<std::mutex> lock(order_mutex);
      order.push_back(name);
    }
    counting.pool.Release(std::move(mine), true);
  };
  std::thread first(borrow, "first");
  counting.WaitForLine(1);
  std::thread second(borrow, "second");
  counting.WaitForLine(2);
  // Given back and asked for again at once: behind the two in line.
  counting.pool.Release(std::move(held), true);
  borrow("again");
  first.join();
  second.join();
  EXPECT_EQ(order, (std::vector<std::string>{"first", "second", "again"}));
  EXPECT_EQ(counting.opened, 1);
}

TEST(ConnectionPoolTest, ADroppedConnectionsPlaceGoesToTheFirstInLine) {
  struct Case {
    const char* name;
    bool broken_back;  // the holder gives its connection back broken
    bool open_fails;   // and opening anew fails once
  };
  for (const Case& c : {Case{"healthy", false, false}, Case{"broken", true, false},
                        Case{"broken, and the database down once", true, true}}) {
    SCOPED_TRACE(c.name);
    CountingPool counting(1);
    std::unique_ptr<Connection> held;
    ASSERT_TRUE(counting.pool.Acquire(&held).ok());
    Status waited;
    std::unique_ptr<Connection> got;
    std::thread waiter([&] { waited = counting.pool.Acquire(&got); });
    counting.WaitForLine(1);
    counting.fail_opens = c.open_fails;
    counting.pool.Release(std::move(held), !c.broken_back);
    waiter.join();
    EXPECT_EQ(waited.ok(), !c.open_fails);
    EXPECT_EQ(got != nullptr, !c.open_fails);
    if (got != nullptr) {
      EXPECT_EQ(got->id, c.broken_back ? 2 : 1);
      counting.pool.Release(std::move(got), true);
    }
    // The place is not lost: the next call gets a connection.
    counting.fail_opens = false;
    std::unique_ptr<Connection> next;
    EXPECT_TRUE(counting.pool.Acquire(&next).ok());
  }
}

TEST(ConnectionPoolTest, ManyThreadsNeverHoldMoreThanTheLimit) {
  constexpr int kLimit = 4;
  CountingPool counting(kLimit);
  std::atomic<int> holding{0};
  std::atomic<int> most{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 16; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        std::unique_ptr<Connection> connection;
        ASSERT_TRUE(counting.pool.Acquire(&connection).ok());
        const int now = ++holding;
        int seen = most;
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        std::this_thread::yield();
        --holding;
        // Every seventh is given back broken and made anew.
        counting.pool.Release(std::move(connection), (t + i) % 7 != 0);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_LE(most, kLimit);
  EXPECT_EQ(counting.pool.waiting(), 0u);
  EXPECT_GT(counting.opened, kLimit) << "broken ones were made anew";
}

}  // namespace
}  // namespace qv::server
