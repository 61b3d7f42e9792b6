// Connections: their addresses, and the stream a worker answers through.
#include "server/connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

}  // namespace

Connection::Connection(int socket_fd) : fd(socket_fd) {
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
  ::shutdown(fd, SHUT_RDWR);
  ::close(fd);
}

void SendNow(const Connection& connection, std::string_view text) {
  // Best effort: the answers sent this way are short and the connection
  // closes after them.
  (void)!::send(connection.fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

bool ConnectionStream::is_readable() const { return read_ < connection_->request_end; }

bool ConnectionStream::WaitWritable() const {
  pollfd wait{connection_->fd, POLLOUT, 0};
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
  while (true) {
    const ssize_t sent = ::send(connection_->fd, ptr, size, MSG_NOSIGNAL);
    if (sent >= 0) return sent;
    if (errno == EINTR) continue;
    if ((errno != EAGAIN && errno != EWOULDBLOCK) || !WaitWritable()) return -1;
  }
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
