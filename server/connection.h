// Connection: one accepted client connection and the bytes received on it,
// owned by one stage at a time: the gate while a request arrives
// (server/connection_gate.h), a worker while the request is answered.
//
// ConnectionStream is the HTTP library's view of the request a worker
// answers: reads come from the request's bytes, which the gate has read
// whole, so a worker never waits for a client to send; writes go to the
// socket, each waiting at most the write timeout for room. The start of an
// answer is held back until Flush, or until it passes kHeldBytes, so that a
// business answer (its header and body) leaves in one send: a server
// killed while it writes has sent all of such an answer or nothing, and a
// proxy in front of it can pass a call that got nothing on to another
// instance (deploy/nginx.conf.in).
//
// A connection served over TLS holds its session: every byte in either
// direction goes through it, the handshake with the first reads.
//
// Neither is thread-safe; a connection moves between threads whole.
#ifndef QV_SERVER_CONNECTION_H_
#define QV_SERVER_CONNECTION_H_

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "server/tls_context.h"

namespace qv::server {

struct Connection {
  // Takes the (non-blocking) socket fd, and its TLS session when it has
  // one; closes both when destroyed.
  explicit Connection(int fd, SslSession session = nullptr);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // As recv and send on the socket without waiting: bytes moved, 0 when the
  // client sends no more (Receive), or -1 with errno set, EAGAIN when the
  // socket has to become ready first (readable instead of writable for a
  // TLS write that set wants_read).
  ssize_t Receive(char* buffer, size_t size);
  ssize_t Send(const char* data, size_t size);

  const int fd;
  const SslSession tls;
  // The last TLS write could not go on before bytes from the client came.
  bool wants_read = false;
  std::string peer_ip;
  int peer_port = -1;
  std::string local_ip;
  int local_port = -1;

  // Received and not yet answered. Once the gate hands the connection on,
  // [0, request_end) is one whole request, its body from body_start.
  std::string bytes;
  size_t body_start = 0;
  size_t request_end = 0;
  // The connection closes after this request's answer.
  bool last = false;
  // The values of the request's Range header lines, taken out of bytes.
  std::vector<std::string> ranges;
  // Requests answered so far.
  size_t answered = 0;
};

// Sends what it can of text without waiting (the gate's own short answers).
void SendNow(Connection& connection, std::string_view text);

class ConnectionStream : public httplib::Stream {
 public:
  // Answers up to this size leave in one send.
  static constexpr size_t kHeldBytes = 256 * 1024;

  ConnectionStream(Connection* connection, std::chrono::milliseconds write_timeout)
      : connection_(connection), write_timeout_(write_timeout) {}

  bool is_readable() const override;
  bool is_writable() const override;
  ssize_t read(char* ptr, size_t size) override;
  ssize_t write(const char* ptr, size_t size) override;
  void get_remote_ip_and_port(std::string& ip, int& port) const override;
  void get_local_ip_and_port(std::string& ip, int& port) const override;
  socket_t socket() const override { return connection_->fd; }

  // Sends what is held back; false when the client cannot take it.
  bool Flush();

  // How many bytes of the request were read.
  size_t consumed() const { return read_; }

 private:
  bool WaitWritable() const;
  // Sends all of data, waiting for room; false on an error or timeout.
  bool SendAll(const char* data, size_t size);

  Connection* connection_;
  std::chrono::milliseconds write_timeout_;
  size_t read_ = 0;
  std::string held_;
};

}  // namespace qv::server

#endif  // QV_SERVER_CONNECTION_H_
