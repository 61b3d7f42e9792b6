// A loopback HTTP server for tests that answers with exactly the bytes it is
// given, at the pace it is given them: what a broken, slow or hostile server
// sends (a body longer than announced, chunks without their end, a trickle).
//
// It listens on 127.0.0.1 at a free port and serves every connection on a
// thread of its own, request after request while the connection lasts.
// Replies are set by path before or while it runs; an unknown path gets an
// empty 404. The destructor stops it: connections are shut down and every
// thread is joined.
#ifndef QV_TESTS_RAW_HTTP_SERVER_H_
#define QV_TESTS_RAW_HTTP_SERVER_H_

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace qv::testing {

class RawHttpServer {
 public:
  using Clock = std::chrono::steady_clock;

  struct Reply {
    std::string head;                    // status line and fields, the blank line included
    std::string body;                    // sent after the head
    size_t piece = 0;                    // the body in pieces of this size (0: at once)
    std::chrono::milliseconds pause{0};  // before each piece
    bool repeat = false;                 // the body again and again, up to repeat_limit
    size_t repeat_limit = size_t{64} << 20;
    bool close = true;  // close after the body; else serve the next request
  };

  // A reply with "Content-Length" matching body (or length when given).
  static Reply WithLength(const std::string& body, long length = -1) {
    return {"HTTP/1.1 200 OK\r\nContent-Length: " +
                std::to_string(length < 0 ? static_cast<long>(body.size()) : length) + "\r\n\r\n",
            body};
  }
  // body as one chunk of a chunked body, with the last chunk when ended.
  static std::string Chunk(const std::string& body) {
    char size[32];
    std::snprintf(size, sizeof(size), "%zx\r\n", body.size());
    return size + body + "\r\n";
  }
  static constexpr char kLastChunk[] = "0\r\n\r\n";
  static constexpr char kChunkedHead[] = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";

  RawHttpServer() {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
        ::listen(listen_fd_, 16) == 0 &&
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
      port_ = ntohs(addr.sin_port);
    }
    accept_thread_ = std::thread([this] { AcceptLoop(); });
  }
  ~RawHttpServer() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      for (int fd : connections_) ::shutdown(fd, SHUT_RDWR);
    }
    changed_.notify_all();
    ::shutdown(listen_fd_, SHUT_RDWR);
    accept_thread_.join();
    for (std::thread& t : threads_) t.join();
    ::close(listen_fd_);
  }
  RawHttpServer(const RawHttpServer&) = delete;
  RawHttpServer& operator=(const RawHttpServer&) = delete;

  void Set(const std::string& path, Reply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    replies_[path] = std::move(reply);
  }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  // When each path was asked for, in order.
  std::vector<std::pair<std::string, Clock::time_point>> Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  void AcceptLoop() {
    while (true) {
      const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      std::lock_guard<std::mutex> lock(mutex_);
      if (fd < 0 || stopping_) {
        if (fd >= 0) ::close(fd);
        if (stopping_ || errno != EINTR) return;
        continue;
      }
      connections_.push_back(fd);
      threads_.emplace_back([this, fd] { Serve(fd); });
    }
  }

  void Serve(int fd) {
    std::string buffer;
    std::string path;
    while (ReadRequest(fd, &buffer, &path)) {
      Reply reply{"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", ""};
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.emplace_back(path, Clock::now());
        auto found = replies_.find(path);
        if (found != replies_.end()) reply = found->second;
      }
      if (!Play(fd, reply) || reply.close) break;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase(connections_, fd);
    ::close(fd);
  }

  // Reads up to the end of a request's header; false when the client went.
  static bool ReadRequest(int fd, std::string* buffer, std::string* path) {
    size_t end;
    while ((end = buffer->find("\r\n\r\n")) == std::string::npos) {
      char data[4096];
      const ssize_t n = ::recv(fd, data, sizeof(data), 0);
      if (n <= 0) return false;
      buffer->append(data, static_cast<size_t>(n));
    }
    const size_t first = buffer->find(' ');
    const size_t second = buffer->find(' ', first + 1);
    *path = buffer->substr(first + 1, second - first - 1);
    buffer->erase(0, end + 4);
    return true;
  }

  bool Send(int fd, const char* data, size_t size) {
    while (size > 0) {
      const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
      if (n <= 0) return false;
      data += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  }

  // Sends the reply; false when the client went or the server stops.
  bool Play(int fd, const Reply& reply) {
    if (!Send(fd, reply.head.data(), reply.head.size())) return false;
    const size_t piece = reply.piece == 0 ? std::max<size_t>(reply.body.size(), 1) : reply.piece;
    size_t sent = 0;
    do {
      for (size_t at = 0; at < reply.body.size(); at += piece) {
        if (reply.pause.count() > 0) {
          std::unique_lock<std::mutex> lock(mutex_);
          if (changed_.wait_for(lock, reply.pause, [this] { return stopping_; })) return false;
        }
        const size_t n = std::min(piece, reply.body.size() - at);
        if (!Send(fd, reply.body.data() + at, n)) return false;
        sent += n;
      }
    } while (reply.repeat && !reply.body.empty() && sent < reply.repeat_limit);
    return true;
  }

  int listen_fd_ = -1;
  int port_ = 0;
  std::thread accept_thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
  std::vector<int> connections_;
  std::vector<std::thread> threads_;
  std::map<std::string, Reply> replies_;
  std::vector<std::pair<std::string, Clock::time_point>> requests_;
};

}  // namespace qv::testing

#endif  // QV_TESTS_RAW_HTTP_SERVER_H_
