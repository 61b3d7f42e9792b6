// TlsContext: the server's certificate and key, loaded once, from which each
// accepted connection gets its own TLS session (server/connection.h).
//
// Load checks everything before the server listens: both files readable,
// the certificate (a PEM chain, the server's own first) and the key in PEM
// form, and the key belonging to the certificate. TLS 1.2 is the oldest
// version offered.
//
// The context may be shared by any number of threads; a session belongs to
// the connection it was made for.
#ifndef QV_SERVER_TLS_CONTEXT_H_
#define QV_SERVER_TLS_CONTEXT_H_

#include <openssl/ssl.h>

#include <memory>
#include <string>

#include "platform/status.h"

namespace qv::server {

struct SslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};
using SslSession = std::unique_ptr<SSL, SslFree>;

class TlsContext {
 public:
  static Status Load(const std::string& cert_file, const std::string& key_file,
                     std::unique_ptr<TlsContext>* context);

  // A server-side session on the connected socket fd (which it leaves
  // open); the handshake runs with the first reads. Null when OpenSSL cannot
  // make one.
  SslSession NewSession(int fd) const;

 private:
  struct CtxFree {
    void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
  };
  struct MethodFree {
    void operator()(BIO_METHOD* method) const { BIO_meth_free(method); }
  };
  TlsContext() = default;

  std::unique_ptr<SSL_CTX, CtxFree> ctx_;
  // The sessions' socket I/O: as OpenSSL's own, but a write to a socket the
  // client has closed fails instead of raising SIGPIPE.
  std::unique_ptr<BIO_METHOD, MethodFree> socket_io_;
};

// OpenSSL's oldest queued error as text ("" when none), emptying the queue.
std::string TakeTlsError();

}  // namespace qv::server

#endif  // QV_SERVER_TLS_CONTEXT_H_
