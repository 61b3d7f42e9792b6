// ConnectionGate: the stage every connection passes before a worker sees
// it. One thread waits (epoll) on all connections that are between
// requests and reads each request whole, its header and then its body;
// only a whole request goes on to a worker. A client that sends slowly, or
// not at all, therefore holds no worker, however many such clients there
// are, and a worker never waits for a client to send.
//
// What the gate does itself (each answer closes the connection):
//   nothing arrives within limits.idle (after the connection is accepted,
//     or after the previous answer)            closed without an answer
//   the header is not whole within limits.header of its first byte, or
//     the body not within limits.body           408
//   a header over limits.max_header_bytes       431
//   the bodies the gate holds would pass limits.body_budget   503
//   "Expect: 100-continue" with a body it takes answered "100 Continue"
//   a body over max_body of its request line    read and dropped; the
//                                               request goes on with its
//                                               header only (answered 413)
//
// Adopt, Resume and Stop may be called from any thread. The ready callback
// runs on the gate's thread and must not block.
#ifndef QV_SERVER_CONNECTION_GATE_H_
#define QV_SERVER_CONNECTION_GATE_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/status.h"
#include "server/connection.h"
#include "server/request_frame.h"

namespace qv::server {

struct ConnectionLimits {
  std::chrono::milliseconds idle{2000};
  std::chrono::milliseconds header{5000};
  std::chrono::milliseconds body{30000};
  size_t max_header_bytes = 64 * 1024;
  uint64_t body_budget = uint64_t{256} << 20;
};

class ConnectionGate {
 public:
  using Ready = std::function<void(std::unique_ptr<Connection>)>;
  // The largest body taken for a request, by its request line ("POST /
  // HTTP/1.1", without the line's end).
  using MaxBody = std::function<uint64_t(std::string_view request_line)>;

  // Fails when the gate's thread cannot be set up.
  static Status Start(const ConnectionLimits& limits, MaxBody max_body, Ready ready,
                      std::unique_ptr<ConnectionGate>* gate);
  ~ConnectionGate();
  ConnectionGate(const ConnectionGate&) = delete;
  ConnectionGate& operator=(const ConnectionGate&) = delete;

  // A newly accepted socket, with its TLS session when the server has one;
  // the gate owns both from now on.
  void Adopt(int fd, SslSession session = nullptr);
  // A connection whose request was answered: wait for its next request.
  void Resume(std::unique_ptr<Connection> connection);
  // Closes every connection the gate holds; connections adopted or resumed
  // afterwards are closed at once. Idempotent.
  void Stop();

 private:
  using Clock = std::chrono::steady_clock;
  enum class Phase { kIdle, kHeader, kBody, kDiscard };
  struct Waiting {
    std::unique_ptr<Connection> connection;
    Phase phase = Phase::kIdle;
    Clock::time_point since;  // kIdle: when the wait began; else the first byte
    size_t header_size = 0;
    uint64_t body_length = 0;
    uint64_t to_discard = 0;
    uint64_t reserved = 0;  // of the body budget
  };

  ConnectionGate(const ConnectionLimits& limits, MaxBody max_body, Ready ready);
  void Run();
  void Admit(Clock::time_point now);
  void Receive(int fd, Clock::time_point now);
  // Moves a request on as far as its bytes allow; false when the
  // connection left the gate.
  bool Advance(Waiting& waiting, Clock::time_point now);
  bool TakeHeader(Waiting& waiting);
  void HandOn(int fd);
  void Close(int fd, std::string_view answer);
  void Sweep(Clock::time_point now);

  const ConnectionLimits limits_;
  const MaxBody max_body_;
  const Ready ready_;
  int epoll_ = -1;
  int wake_ = -1;
  std::thread thread_;

  std::mutex incoming_mutex_;
  std::vector<std::unique_ptr<Connection>> incoming_;
  bool stopped_ = false;

  // The gate thread's own.
  std::unordered_map<int, Waiting> waiting_;
  uint64_t budget_used_ = 0;
};

}  // namespace qv::server

#endif  // QV_SERVER_CONNECTION_GATE_H_
