// The gate's thread: epoll over every connection between requests.
#include "server/connection_gate.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/posix/errno_status.h"

namespace qv::server {

namespace {

constexpr char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
constexpr char kTimedOut[] =
    "HTTP/1.1 408 Request Timeout\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
constexpr char kHeaderTooLarge[] =
    "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\nConnection: "
    "close\r\n\r\n";
constexpr char kBusy[] =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

// How often deadlines are checked, and so how late past one a connection
// may be closed.
constexpr auto kSweepInterval = std::chrono::milliseconds(50);
// Bytes read from one connection before the others get their turn.
constexpr size_t kReadTurn = 256 * 1024;
// A kept-alive connection's buffer shrinks back when it grew past this.
constexpr size_t kKeptBuffer = 64 * 1024;

}  // namespace

ConnectionGate::ConnectionGate(const ConnectionLimits& limits, MaxBody max_body, Ready ready)
    : limits_(limits), max_body_(std::move(max_body)), ready_(std::move(ready)) {}

Status ConnectionGate::Start(const ConnectionLimits& limits, MaxBody max_body, Ready ready,
                             std::unique_ptr<ConnectionGate>* gate) {
  std::unique_ptr<ConnectionGate> made(
      new ConnectionGate(limits, std::move(max_body), std::move(ready)));
  made->epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  made->wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = made->wake_;
  if (made->epoll_ < 0 || made->wake_ < 0 ||
      ::epoll_ctl(made->epoll_, EPOLL_CTL_ADD, made->wake_, &event) != 0) {
    return Status::Error(WinErrorFromErrno(errno), "cannot wait on connections");
  }
  ConnectionGate* raw = made.get();
  made->thread_ = std::thread([raw] { raw->Run(); });
  *gate = std::move(made);
  return Status::OK();
}

ConnectionGate::~ConnectionGate() {
  Stop();
  if (epoll_ >= 0) ::close(epoll_);
  if (wake_ >= 0) ::close(wake_);
}

void ConnectionGate::Adopt(int fd, SslSession session) {
  const int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  Resume(std::make_unique<Connection>(fd, std::move(session)));
}

void ConnectionGate::Resume(std::unique_ptr<Connection> connection) {
  {
    std::lock_guard<std::mutex> lock(incoming_mutex_);
    if (stopped_) return;  // closed as it goes
    incoming_.push_back(std::move(connection));
  }
  const uint64_t one = 1;
  (void)!::write(wake_, &one, sizeof(one));
}

void ConnectionGate::Stop() {
  {
    std::lock_guard<std::mutex> lock(incoming_mutex_);
    if (stopped_) return;
    stopped_ = true;
  }
  const uint64_t one = 1;
  (void)!::write(wake_, &one, sizeof(one));
  if (thread_.joinable()) thread_.join();
  waiting_.clear();
  std::lock_guard<std::mutex> lock(incoming_mutex_);
  incoming_.clear();
}

void ConnectionGate::Run() {
  epoll_event events[128];
  Clock::time_point last_sweep = Clock::now();
  while (true) {
    const int count = ::epoll_wait(epoll_, events, 128, static_cast<int>(kSweepInterval.count()));
    const Clock::time_point now = Clock::now();
    for (int i = 0; i < count; ++i) {
      if (events[i].data.fd == wake_) {
        uint64_t ignored;
        (void)!::read(wake_, &ignored, sizeof(ignored));
        Admit(now);
      } else {
        Receive(events[i].data.fd, now);
      }
    }
    {
      std::lock_guard<std::mutex> lock(incoming_mutex_);
      if (stopped_) return;
    }
    if (now - last_sweep >= kSweepInterval) {
      Sweep(now);
      last_sweep = now;
    }
  }
}

void ConnectionGate::Admit(Clock::time_point now) {
  std::vector<std::unique_ptr<Connection>> arrived;
  {
    std::lock_guard<std::mutex> lock(incoming_mutex_);
    arrived.swap(incoming_);
  }
  for (auto& connection : arrived) {
    const int fd = connection->fd;
    if (connection->bytes.capacity() > kKeptBuffer) connection->bytes.shrink_to_fit();
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0) continue;  // closed as it goes
    Waiting& waiting = waiting_[fd];
    waiting.connection = std::move(connection);
    waiting.since = now;
    // Bytes left from the previous request are the start of the next.
    Advance(waiting, now);
  }
}

void ConnectionGate::Receive(int fd, Clock::time_point now) {
  const auto found = waiting_.find(fd);
  if (found == waiting_.end()) return;
  Waiting& waiting = found->second;
  std::string& bytes = waiting.connection->bytes;
  char block[16 * 1024];
  size_t taken = 0;
  bool ended = false;  // the client sends no more
  while (taken < kReadTurn) {
    // The block holds a whole TLS record, so that none is left decrypted
    // in the session where the wait on the socket cannot see it.
    const ssize_t got = waiting.connection->Receive(block, sizeof(block));
    if (got > 0) {
      bytes.append(block, static_cast<size_t>(got));
      taken += static_cast<size_t>(got);
      // A dropped body goes as it comes, and an unfinished header never
      // grows far past its limit.
      if (waiting.phase == Phase::kDiscard ||
          (waiting.phase != Phase::kBody && bytes.size() > limits_.max_header_bytes)) {
        break;
      }
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (got < 0) {
      Close(fd, "");
      return;
    }
    // Requests that arrived whole before the end are still answered; the
    // end shows again once the connection is back.
    ended = true;
    break;
  }
  if (Advance(waiting, now) && ended) Close(fd, "");
}

bool ConnectionGate::Advance(Waiting& waiting, Clock::time_point now) {
  Connection& connection = *waiting.connection;
  const int fd = connection.fd;
  if (waiting.phase == Phase::kIdle) {
    if (connection.bytes.empty()) return true;
    waiting.phase = Phase::kHeader;
    waiting.since = now;
  }
  if (waiting.phase == Phase::kHeader && !TakeHeader(waiting)) return false;
  if (waiting.phase == Phase::kDiscard) {
    const uint64_t held = connection.bytes.size() - waiting.header_size;
    const size_t drop = static_cast<size_t>(std::min(held, waiting.to_discard));
    connection.bytes.erase(waiting.header_size, drop);
    waiting.to_discard -= drop;
    if (waiting.to_discard > 0) return true;
    connection.request_end = waiting.header_size;
    HandOn(fd);
    return false;
  }
  if (waiting.phase == Phase::kBody) {
    const uint64_t end = waiting.header_size + waiting.body_length;
    if (connection.bytes.size() < end) return true;
    connection.request_end = static_cast<size_t>(end);
    HandOn(fd);
    return false;
  }
  return true;
}

bool ConnectionGate::TakeHeader(Waiting& waiting) {
  Connection& connection = *waiting.connection;
  const int fd = connection.fd;
  const size_t length = HeaderLength(connection.bytes);
  if (length == std::string::npos || length > limits_.max_header_bytes) {
    if (connection.bytes.size() <= limits_.max_header_bytes) return true;
    Close(fd, kHeaderTooLarge);
    return false;
  }
  const std::string_view header = std::string_view(connection.bytes).substr(0, length);
  RequestFrame frame = FrameRequest(header, max_body_(header.substr(0, header.find("\r\n"))));
  connection.bytes.replace(0, length, frame.header);
  connection.ranges = std::move(frame.ranges);
  connection.body_start = frame.header.size();
  waiting.header_size = frame.header.size();
  waiting.body_length = frame.body_length;
  switch (frame.body) {
    case RequestFrame::Body::kUnframed:
      connection.request_end = waiting.header_size;
      connection.last = true;
      HandOn(fd);
      return false;
    case RequestFrame::Body::kTooLarge:
      if (frame.expects_continue) {
        // The client waits before it sends the body: answer at once.
        connection.request_end = waiting.header_size;
        connection.last = true;
        HandOn(fd);
        return false;
      }
      waiting.phase = Phase::kDiscard;
      waiting.to_discard = frame.body_length;
      return true;
    case RequestFrame::Body::kLength:
      break;
  }
  if (budget_used_ + frame.body_length > limits_.body_budget) {
    Close(fd, kBusy);
    return false;
  }
  budget_used_ += frame.body_length;
  waiting.reserved = frame.body_length;
  waiting.phase = Phase::kBody;
  if (frame.expects_continue && connection.bytes.size() < waiting.header_size + frame.body_length) {
    SendNow(connection, kContinue);
  }
  return true;
}

void ConnectionGate::HandOn(int fd) {
  const auto found = waiting_.find(fd);
  ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
  budget_used_ -= found->second.reserved;
  std::unique_ptr<Connection> connection = std::move(found->second.connection);
  waiting_.erase(found);
  ready_(std::move(connection));
}

void ConnectionGate::Close(int fd, std::string_view answer) {
  const auto found = waiting_.find(fd);
  if (found == waiting_.end()) return;
  if (!answer.empty()) {
    SendNow(*found->second.connection, answer);
    // Bytes left unread would make the close a reset, which can cost the
    // client the answer: what has arrived is read first.
    char block[16 * 1024];
    for (size_t drained = 0; drained < kReadTurn;) {
      const ssize_t got = found->second.connection->Receive(block, sizeof(block));
      if (got <= 0) break;
      drained += static_cast<size_t>(got);
    }
  }
  ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
  budget_used_ -= found->second.reserved;
  waiting_.erase(found);
}

void ConnectionGate::Sweep(Clock::time_point now) {
  std::vector<std::pair<int, bool>> late;  // fd, whether a request had begun
  for (const auto& [fd, waiting] : waiting_) {
    std::chrono::milliseconds allowed = limits_.body;
    if (waiting.phase == Phase::kIdle) allowed = limits_.idle;
    if (waiting.phase == Phase::kHeader) allowed = limits_.header;
    if (now - waiting.since >= allowed) late.emplace_back(fd, waiting.phase != Phase::kIdle);
  }
  for (const auto& [fd, begun] : late) Close(fd, begun ? kTimedOut : "");
}

}  // namespace qv::server
