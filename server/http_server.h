// Server: qvserver's HTTP side, for the command line, for qvinit's demo and
// for tests, all in one process.
//
//   POST (any path)   one business-object call (server/dispatcher.h)
//   GET / HEAD        a file below the files root, with Content-Length; 404
//                     when missing, 400 for a path that tries to leave the
//                     root. "/installs/setup.html" and
//                     "/installs/QV_InitLocal_V3.CAB" fall back to built-in
//                     files (server/prelude_files.h). A Range header is
//                     answered as server/byte_ranges.h says.
//   /console and      the web console (server/console.h): its GETs and
//   below             POSTs are routed there before the two above
//
// A request body may be up to kMaxRequestBytes, except that a POST below
// /console/lists/ may carry a list document, up to kMaxListFormBytes; a
// larger one is read and dropped, and answered 413.
//
// With a certificate and key (options.tls_cert, options.tls_key) every
// connection is served over TLS, the same answers as over plain HTTP.
//
// Files are streamed from the disk in blocks, whatever their size. Answers
// go out as they are, without content encoding, so Content-Length is always
// the size of the file or of the JSON answer.
//
// How connections are served, so that no kind of client can keep the others
// waiting:
//   - a gate reads each request whole before a worker sees it, and closes
//     connections that are idle or send too slowly (server/connection_gate.h;
//     the limits are options.limits);
//   - a pool of threads (options.threads) answers whole requests, one at a
//     time each; a connection goes back to the gate between requests;
//   - logins, whose password checks are slow and use much memory, are
//     answered by a lane of their own with one thread per check that may run
//     at once and a short queue (options.login_queue). A login that finds
//     the queue full, or waited in it longer than kLoginWait, is answered
//     "busy" (503, server/dispatcher.h) without being checked. Its threads
//     run at a lower priority (kLoginNiceness);
//   - failed logins are slowed down per account and per address
//     (options.throttle, server/login_throttle.h); behind a trusted proxy
//     the address is the one it forwards (options.trusted_proxies).
//
// Start returns once the server accepts connections. Stop (or destroying
// the Server) closes the listening socket and the connections between
// requests, lets the requests being answered end, and joins every thread.
// The methods may be called from any thread.
#ifndef QV_SERVER_HTTP_SERVER_H_
#define QV_SERVER_HTTP_SERVER_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/status.h"
#include "server/connection_gate.h"
#include "server/list_signer.h"
#include "server/login_throttle.h"
#include "server/storage.h"
#include "server/tls_context.h"

namespace qv::server {

inline constexpr std::chrono::milliseconds kLoginWait{5000};
// Password checks run this many steps below normal priority, so that under
// a flood of logins the other requests get the processor first.
inline constexpr int kLoginNiceness = 10;

struct ServerOptions {
  std::string db_path;    // a database made by "qvserver init": a file or a postgresql:// URL
  std::string files_dir;  // "" serves only the built-in files
  std::string host = "127.0.0.1";
  int port = 0;  // 0 picks a free port
  // Both or neither: PEM files of the certificate (its chain after it) and
  // of its private key, to serve HTTPS.
  std::string tls_cert;
  std::string tls_key;
  int64_t login_ttl_seconds = kDefaultLoginTtlSeconds;
  // A list-signing key file (server/signing_key.h): every GetInstallFiles
  // answer is then signed, valid for list_validity_seconds. "" signs
  // nothing.
  std::string signing_key;
  int64_t list_validity_seconds = kDefaultListValiditySeconds;
  // Addresses of proxies (nginx in front of several instances) whose
  // X-Forwarded-For header names the caller: a call from one of them is
  // counted for the last forwarded address that is not itself a trusted
  // proxy. Calls from any other peer are counted for the peer, whatever
  // they send.
  std::vector<std::string> trusted_proxies;
  int threads = 128;
  int login_queue = 32;  // logins that may wait for a check
  ConnectionLimits limits;
  ThrottleLimits throttle;
};

class Server {
 public:
  // Fails when the database, the files folder or the certificate and key
  // cannot be used, or the address cannot be bound.
  static Status Start(const ServerOptions& options, std::unique_ptr<Server>* server);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  const std::string& host() const;
  int port() const;
  // "http://HOST:PORT", or https:// over TLS (an IPv6 host in brackets).
  std::string base_url() const;
  Storage& storage();

  // Stops serving; waits for the requests in progress. Idempotent.
  void Stop();

 private:
  class Impl;
  explicit Server(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace qv::server

#endif  // QV_SERVER_HTTP_SERVER_H_
