// Connections: their addresses, and the stream a worker answers through.
#include "server/connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace qv::server {

namespace {

void AddressOf(const sockaddr_storage& address, std::string* ip, int* port) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    ::inet_ntop(AF_INET, &v4.sin_addr, text, sizeof(text));
    *port = ntohs(v4.sin_port);
  } else if (address.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    ::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof(text));
    *port = ntohs(v6.sin6_port);
  }
  *ip = text;
}

// OpenSSL counts in int.
int TlsCount(size_t size) { return static_cast<int>(std::min<size_t>(size, INT_MAX)); }

// What a TLS call that moved no bytes and ended with error means, as recv
// and send say it.
ssize_t TlsOutcome(int error) {
  switch (error) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      errno = EAGAIN;
      return -1;
    case SSL_ERROR_ZERO_RETURN:
      return 0;
    case SSL_ERROR_SYSCALL:  // the socket's own error
      ERR_clear_error();
      if (errno == 0) errno = EPIPE;
      return -1;
    default:  // a failed handshake, bytes that are not TLS, ...
      ERR_clear_error();
      errno = EPROTO;
      return -1;
  }
}

}  // namespace

Connection::Connection(int socket_fd, SslSession session) : fd(socket_fd), tls(std::move(session)) {
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    AddressOf(address, &peer_ip, &peer_port);
  }
  length = sizeof(address);
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    AddressOf(address, &local_ip, &local_port);
  }
}

Connection::~Connection() {
  if (tls != nullptr && SSL_is_init_finished(tls.get())) {
    // The goodbye is sent when there is room for it; nothing is waited for.
    SSL_shutdown(tls.get());
    ERR_clear_error();
  }
  ::shutdown(fd, SHUT_RDWR);
  ::close(fd);
}

ssize_t Connection::Receive(char* buffer, size_t size) {
  if (tls == nullptr) return ::recv(fd, buffer, size, 0);
  errno = 0;
  const int result = SSL_read(tls.get(), buffer, TlsCount(size));
  if (result > 0) return result;
  return TlsOutcome(SSL_get_error(tls.get(), result));
}

ssize_t Connection::Send(const char* data, size_t size) {
  if (tls == nullptr) return ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
  errno = 0;
  const int result = SSL_write(tls.get(), data, TlsCount(size));
  const int error = result > 0 ? SSL_ERROR_NONE : SSL_get_error(tls.get(), result);
  wants_read = error == SSL_ERROR_WANT_READ;
  if (result > 0) return result;
  if (TlsOutcome(error) == 0) errno = EPIPE;
  return -1;
}

void SendNow(Connection& connection, std::string_view text) {
  // Best effort: the answers sent this way are short and the connection
  // closes after them.
  (void)connection.Send(text.data(), text.size());
}

bool ConnectionStream::is_readable() const { return read_ < connection_->request_end; }

bool ConnectionStream::WaitWritable() const {
  // A TLS write may first need the client's bytes (a key update).
  const short ready_for = connection_->wants_read ? POLLIN : POLLOUT;
  pollfd wait{connection_->fd, ready_for, 0};
  int ready;
  do {
    ready = ::poll(&wait, 1, static_cast<int>(write_timeout_.count()));
  } while (ready < 0 && errno == EINTR);
  return ready > 0 && (wait.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0;
}

bool ConnectionStream::is_writable() const { return WaitWritable(); }

ssize_t ConnectionStream::read(char* ptr, size_t size) {
  // Never past the request: what follows belongs to the next one.
  const size_t count = std::min(size, connection_->request_end - read_);
  std::memcpy(ptr, connection_->bytes.data() + read_, count);
  read_ += count;
  return static_cast<ssize_t>(count);
}

ssize_t ConnectionStream::write(const char* ptr, size_t size) {
  if (held_.size() + size <= kHeldBytes) {
    held_.append(ptr, size);
    return static_cast<ssize_t>(size);
  }
  // A larger answer (a file) goes as it comes, after what was held.
  if (!Flush() || !SendAll(ptr, size)) return -1;
  return static_cast<ssize_t>(size);
}

bool ConnectionStream::Flush() {
  const bool sent = SendAll(held_.data(), held_.size());
  held_.clear();
  return sent;
}

bool ConnectionStream::SendAll(const char* data, size_t size) {
  while (size > 0) {
    const ssize_t sent = connection_->Send(data, size);
    if (sent >= 0) {
      data += sent;
      size -= static_cast<size_t>(sent);
      continue;
    }
    if (errno == EINTR) continue;
    if ((errno != EAGAIN && errno != EWOULDBLOCK) || !WaitWritable()) return false;
  }
  return true;
}

void ConnectionStream::get_remote_ip_and_port(std::string& ip, int& port) const {
  ip = connection_->peer_ip;
  port = connection_->peer_port;
}

void ConnectionStream::get_local_ip_and_port(std::string& ip, int& port) const {
  ip = connection_->local_ip;
  port = connection_->local_port;
}

}  // namespace qv::server
