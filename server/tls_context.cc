// The server's TLS context on OpenSSL.
#include "server/tls_context.h"

#include <openssl/err.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace qv::server {

namespace {

// Says which file cannot be opened, and why, before OpenSSL tries it: its
// own message for a missing file names neither.
Status CheckReadable(const std::string& what, const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    const int error = errno;
    const std::string message =
        "cannot read the TLS " + what + " " + path + ": " + std::strerror(error);
    return error == ENOENT ? Status::NotFound(message) : Status::AccessDenied(message);
  }
  std::fclose(file);
  return Status::OK();
}

Status Refused(const std::string& what, const std::string& path) {
  const std::string reason = TakeTlsError();
  return Status::InvalidArgument("the TLS " + what + " " + path + " cannot be used" +
                                 (reason.empty() ? "" : ": " + reason));
}

int SocketWrite(BIO* bio, const char* data, int size) {
  BIO_clear_retry_flags(bio);
  const int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
  const ssize_t sent = ::send(fd, data, static_cast<size_t>(size), MSG_NOSIGNAL);
  if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    BIO_set_retry_write(bio);
  }
  return static_cast<int>(sent);
}

int SocketRead(BIO* bio, char* buffer, int size) {
  BIO_clear_retry_flags(bio);
  const int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
  const ssize_t got = ::recv(fd, buffer, static_cast<size_t>(size), 0);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    BIO_set_retry_read(bio);
  }
  return static_cast<int>(got);
}

long SocketControl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int SocketCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

}  // namespace

std::string TakeTlsError() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "";
  char text[256];
  ERR_error_string_n(code, text, sizeof(text));
  return text;
}

Status TlsContext::Load(const std::string& cert_file, const std::string& key_file,
                        std::unique_ptr<TlsContext>* context) {
  Status status = CheckReadable("certificate", cert_file);
  if (status.ok()) status = CheckReadable("key", key_file);
  if (!status.ok()) return status;
  ERR_clear_error();
  std::unique_ptr<TlsContext> made(new TlsContext());
  made->ctx_.reset(SSL_CTX_new(TLS_server_method()));
  made->socket_io_.reset(BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "qv socket"));
  SSL_CTX* ctx = made->ctx_.get();
  BIO_METHOD* io = made->socket_io_.get();
  if (ctx == nullptr || io == nullptr || BIO_meth_set_write(io, SocketWrite) != 1 ||
      BIO_meth_set_read(io, SocketRead) != 1 || BIO_meth_set_ctrl(io, SocketControl) != 1 ||
      BIO_meth_set_create(io, SocketCreate) != 1) {
    return Status::Error(kErrorInvalidFunction, "cannot set up TLS: " + TakeTlsError());
  }
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  // A client that closes without the TLS goodbye has ended all the same: its
  // requests that arrived whole are still answered.
  SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
  // Answers are written in pieces from buffers that move between retries.
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // The key first: a certificate loaded after it drops a key of another
  // certificate, which the check below then names as such.
  if (SSL_CTX_use_PrivateKey_file(ctx, key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
    return Refused("key", key_file);
  }
  if (SSL_CTX_use_certificate_chain_file(ctx, cert_file.c_str()) != 1) {
    return Refused("certificate", cert_file);
  }
  if (SSL_CTX_check_private_key(ctx) != 1) {
    TakeTlsError();
    return Status::InvalidArgument("the TLS key " + key_file +
                                   " does not belong to the certificate " + cert_file);
  }
  *context = std::move(made);
  return Status::OK();
}

SslSession TlsContext::NewSession(int fd) const {
  SslSession session(SSL_new(ctx_.get()));
  BIO* bio = BIO_new(socket_io_.get());
  if (session == nullptr || bio == nullptr) {
    BIO_free(bio);
    return nullptr;
  }
  BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
  SSL_set_bio(session.get(), bio, bio);  // the session owns it now
  SSL_set_accept_state(session.get());
  return session;
}

}  // namespace qv::server
