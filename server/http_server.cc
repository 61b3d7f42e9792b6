// The HTTP server on cpp-httplib.
#include "server/http_server.h"

#include <httplib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <limits>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/posix/atomic_file.h"
#include "server/business_objects.h"
#include "server/byte_ranges.h"
#include "server/connection.h"
#include "server/console.h"
#include "server/credentials.h"
#include "server/dispatcher.h"
#include "server/file_root.h"
#include "server/prelude_files.h"
#include "server/work_lane.h"

namespace qv::server {

namespace {

// Blocks read from a file and handed to the socket.
constexpr size_t kFileBlockSize = 256 * 1024;
// Longer request paths are refused before any pattern is matched on them.
constexpr size_t kMaxPathLength = 2048;
constexpr size_t kKeepAliveRequests = 100000;
// A write that finds no room in the socket for this long ends the answer.
constexpr std::chrono::milliseconds kWriteTimeout{5000};
constexpr auto kStartTimeout = std::chrono::seconds(10);

// httplib's server, which here parses requests, routes them and writes the
// answers, while the connections themselves are served by the gate and the
// lanes: the sockets the library accepts go straight to adopt, and Answer
// answers one whole request a gate has read.
class WideServer : public httplib::Server {
 public:
  std::function<void(int)> adopt;

  // A longer queue of connections waiting to be accepted than the
  // library's fixed one, so that many clients connecting at once are not
  // made to retry.
  void WidenBacklog() {
    const auto socket = svr_sock_.load();
    if (socket != INVALID_SOCKET) ::listen(socket, SOMAXCONN);
  }

  // Answers the request stream holds. setup runs once its header is read.
  bool Answer(httplib::Stream& stream, bool close, bool* closed,
              const std::function<void(httplib::Request&)>& setup) {
    bool connection_closed = false;
    const bool ok = process_request(stream, close, connection_closed, setup);
    *closed = connection_closed;
    return ok;
  }

 protected:
  bool process_and_close_socket(socket_t sock) override {
    adopt(sock);
    return true;
  }
};

// Runs each task at once, on the thread that accepted the connection:
// handing a socket to the gate is all there is to do.
class AtOnce : public httplib::TaskQueue {
 public:
  void enqueue(std::function<void()> task) override { task(); }
  void shutdown() override {}
};

std::string ContentTypeOf(const std::string& path) {
  const size_t dot = path.find_last_of('.');
  const size_t slash = path.find_last_of('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
    return "application/octet-stream";
  }
  std::string ext = path.substr(dot + 1);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (ext == "html" || ext == "htm") return "text/html; charset=utf-8";
  if (ext == "txt") return "text/plain; charset=utf-8";
  if (ext == "json" || ext == "rst") return "application/json";
  if (ext == "cab" || ext == "cmp") return "application/vnd.ms-cab-compressed";
  return "application/octet-stream";
}

// Sends bytes held in memory with their length (a content provider, so that
// the library neither copies nor encodes them).
void SendBytes(httplib::Response& res, int status, std::shared_ptr<const std::string> bytes,
               const std::string& content_type) {
  // A success is left for the library to state: 206 when the request asked
  // for ranges, 200 otherwise.
  if (status != 200) res.status = status;
  if (bytes->empty()) {
    res.set_content("", content_type);
    return;
  }
  const size_t length = bytes->size();
  res.set_content_provider(
      length, content_type, [bytes](size_t offset, size_t count, httplib::DataSink& sink) {
        return sink.write(bytes->data() + offset, std::min(count, bytes->size() - offset));
      });
}

// Sends a business-object answer: its pieces one after the other.
void SendAnswer(httplib::Response& res, HttpAnswer answer) {
  auto shared = std::make_shared<const HttpAnswer>(std::move(answer));
  res.status = shared->status;
  res.set_content_provider(
      shared->size(), "application/json",
      [shared](size_t offset, size_t count, httplib::DataSink& sink) {
        const std::string* pieces[] = {&shared->head, shared->document.get(), &shared->tail};
        size_t start = 0;
        for (const std::string* piece : pieces) {
          if (piece == nullptr) continue;
          if (offset < start + piece->size()) {
            const size_t at = offset - start;
            return sink.write(piece->data() + at, std::min(count, piece->size() - at));
          }
          start += piece->size();
        }
        return false;
      });
}

// The address a call is counted for: the connection's peer or, when that is
// a trusted proxy, the rightmost X-Forwarded-For entry that is not one (each
// proxy appends the address it was called from, so the entries to the left
// of the first untrusted one are whatever the caller chose to send).
std::string CallerAddress(const httplib::Request& req, const std::vector<std::string>& trusted) {
  const auto is_trusted = [&trusted](const std::string& address) {
    return std::find(trusted.begin(), trusted.end(), address) != trusted.end();
  };
  if (!is_trusted(req.remote_addr)) return req.remote_addr;
  std::vector<std::string> hops;
  const size_t headers = req.get_header_value_count("X-Forwarded-For");
  for (size_t i = 0; i < headers; ++i) {
    const std::string value = req.get_header_value("X-Forwarded-For", i);
    size_t start = 0;
    for (;;) {
      const size_t comma = value.find(',', start);
      const size_t first = value.find_first_not_of(' ', start);
      const size_t last =
          value.find_last_not_of(' ', comma == std::string::npos ? comma : comma - 1);
      if (first < comma && last != std::string::npos && last >= first) {
        hops.push_back(value.substr(first, last - first + 1));
      }
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
  }
  for (auto hop = hops.rbegin(); hop != hops.rend(); ++hop) {
    if (!is_trusted(*hop)) return *hop;
  }
  return req.remote_addr;
}

void SendText(httplib::Response& res, int status, const std::string& text) {
  SendBytes(res, status, std::make_shared<const std::string>(text), "text/plain; charset=utf-8");
}

// Streams an open file in blocks read at their offsets, through one buffer
// per answer.
void SendFile(httplib::Response& res, std::shared_ptr<FileHandle> file, uint64_t size,
              const std::string& content_type) {
  if (size == 0) {
    res.set_content("", content_type);
    return;
  }
  struct Stream {
    std::shared_ptr<FileHandle> file;
    std::unique_ptr<char[]> block{new char[kFileBlockSize]};
  };
  auto stream = std::make_shared<Stream>();
  stream->file = std::move(file);
  res.set_content_provider(static_cast<size_t>(size), content_type,
                           [stream](size_t offset, size_t count, httplib::DataSink& sink) {
                             const size_t want = std::min(count, kFileBlockSize);
                             ssize_t got;
                             do {
                               got = ::pread(stream->file->fd(), stream->block.get(), want,
                                             static_cast<off_t>(offset));
                             } while (got < 0 && errno == EINTR);
                             // A file that shrank meanwhile ends the answer early; the client sees
                             // fewer bytes than announced.
                             if (got <= 0) return false;
                             return sink.write(stream->block.get(), static_cast<size_t>(got));
                           });
}

// The largest body taken for a request line: a list document posted to the
// console, or a business call.
uint64_t MaxBody(std::string_view request_line) {
  constexpr std::string_view kPost = "POST ";
  if (request_line.starts_with(kPost) &&
      Console::TakesDocuments(request_line.substr(kPost.size()))) {
    return kMaxListFormBytes;
  }
  return kMaxRequestBytes;
}

// Whether the request announces a body over MaxBody (the gate then dropped
// it).
bool TooLarge(const httplib::Request& req) {
  const std::string length = req.get_header_value("Content-Length");
  return !length.empty() &&
         std::strtoull(length.c_str(), nullptr, 10) > MaxBody(req.method + " " + req.target);
}

std::string_view RequestBody(const Connection& connection) {
  return std::string_view(connection.bytes)
      .substr(connection.body_start, connection.request_end - connection.body_start);
}

// The busy answer to a login, written as it is; the connection closes
// after it.
void AnswerBusy(Connection* connection) {
  LoginCall call{kServerSource, "", ""};
  IsLoginCall(RequestBody(*connection), &call);
  const std::string body = ServerBusy(call.source).Body();
  const std::string answer =
      "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
      "Content-Length: " +
      std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  ConnectionStream stream(connection, kWriteTimeout);
  if (stream.write(answer.data(), answer.size()) >= 0) stream.Flush();
}

}  // namespace

class Server::Impl {
 public:
  ServerOptions options;
  // Before the stages: their connections' sessions use it to the end.
  std::unique_ptr<TlsContext> tls;
  std::unique_ptr<Storage> storage;
  std::unique_ptr<ListSigner> signer;
  std::unique_ptr<BusinessObjects> objects;
  std::unique_ptr<FileRoot> files;
  std::unique_ptr<Console> console;
  WideServer http;
  std::unique_ptr<WorkLane> workers;
  std::unique_ptr<WorkLane> logins;
  std::unique_ptr<ConnectionGate> gate;
  std::thread listener;
  int port = 0;
  std::atomic<bool> stopping{false};
  bool stopped = false;
  std::mutex stop_mutex;

  void Install() {
    http.new_task_queue = [] { return new AtOnce; };
    http.adopt = [this](int fd) {
      if (tls == nullptr) return gate->Adopt(fd);
      SslSession session = tls->NewSession(fd);
      if (session == nullptr) {
        ::close(fd);
        return;
      }
      gate->Adopt(fd, std::move(session));
    };
    http.set_payload_max_length(kMaxListFormBytes);
    http.set_tcp_nodelay(true);
    http.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
      if (req.path.size() > kMaxPathLength) {
        SendText(res, 414, "URI Too Long\n");
        return httplib::Server::HandlerResponse::Handled;
      }
      if (req.method == "GET" || req.method == "HEAD") {
        if (Console::Owns(req.path)) {
          console->Get(req, res);
        } else {
          ServeFile(req, res);
        }
        return httplib::Server::HandlerResponse::Handled;
      }
      if (TooLarge(req)) {
        if (Console::Owns(req.path)) {
          console->RefuseTooLarge(res);
        } else {
          SendAnswer(res, RequestTooLarge());
        }
        return httplib::Server::HandlerResponse::Handled;
      }
      return httplib::Server::HandlerResponse::Unhandled;
    });
    // Before the business calls, which take a POST to any other path.
    http.Post("/console(/.*)?", [this](const httplib::Request& req, httplib::Response& res) {
      console->Post(req, CallerAddress(req, options.trusted_proxies), res);
    });
    http.Post(".*", [this](const httplib::Request& req, httplib::Response& res) {
      const CallerInfo caller{CallerAddress(req, options.trusted_proxies),
                              req.get_header_value("User-Agent")};
      SendAnswer(res, Dispatch(*objects, req.body, caller));
    });
    // The library refuses a body over the limit itself; the answer then
    // gets its error object here. (The console's answers, sent by a content
    // provider, are whole already.)
    http.set_error_handler(httplib::Server::HandlerWithResponse(
        [](const httplib::Request& req, httplib::Response& res) {
          if (res.status != 413 || !res.body.empty() || Console::Owns(req.path)) {
            return httplib::Server::HandlerResponse::Unhandled;
          }
          SendAnswer(res, RequestTooLarge());
          return httplib::Server::HandlerResponse::Handled;
        }));
  }

  Status StartStages() {
    workers = std::make_unique<WorkLane>(
        options.threads, std::numeric_limits<size_t>::max(), 0,
        [this](std::unique_ptr<Connection> connection, std::chrono::nanoseconds) {
          Route(std::move(connection));
        });
    const int checks = PasswordCheckSlots();
    logins = std::make_unique<WorkLane>(
        checks, static_cast<size_t>(std::max(1, options.login_queue)), kLoginNiceness,
        [this](std::unique_ptr<Connection> connection, std::chrono::nanoseconds waited) {
          if (waited > kLoginWait || stopping) {
            AnswerBusy(connection.get());
          } else {
            Answer(std::move(connection));
          }
        });
    return ConnectionGate::Start(
        options.limits, MaxBody,
        [this](std::unique_ptr<Connection> connection) { workers->Submit(&connection); }, &gate);
  }

  // Answers a whole request on a worker, unless it is a login that needs
  // its password checked, which goes to the login lane. (A login the
  // throttle refuses needs no check: it is answered here, and a flood of
  // them leaves the lane to other callers.)
  void Route(std::unique_ptr<Connection> connection) {
    LoginCall call;
    if (connection->bytes.starts_with("POST ") && IsLoginCall(RequestBody(*connection), &call) &&
        !objects->LoginHeldBack(call.key_name, call.login, connection->peer_ip)) {
      if (!logins->Submit(&connection)) AnswerBusy(connection.get());
      return;
    }
    Answer(std::move(connection));
  }

  // Answers the request at the start of the connection, then hands the
  // connection back to the gate, or closes it.
  void Answer(std::unique_ptr<Connection> connection) {
    ConnectionStream stream(connection.get(), kWriteTimeout);
    const bool close =
        connection->last || connection->answered + 1 >= kKeepAliveRequests || stopping;
    bool closed = false;
    const std::vector<std::string>& ranges = connection->ranges;
    bool ok = http.Answer(stream, close, &closed, [&ranges](httplib::Request& req) {
      // Put back here, after the library's own parsing, which refuses
      // ranges it cannot read (ServeFile ignores them instead).
      for (const std::string& range : ranges) req.headers.emplace("Range", range);
    });
    ok = stream.Flush() && ok;
    // A request the library read differently from the gate (its answer is
    // out) leaves the connection in doubt: it closes.
    if (!ok || close || closed || stream.consumed() != connection->request_end) return;
    ++connection->answered;
    connection->bytes.erase(0, connection->request_end);
    connection->request_end = 0;
    connection->body_start = 0;
    connection->ranges.clear();
    gate->Resume(std::move(connection));
  }

  // Answers a GET or HEAD.
  void ServeFile(const httplib::Request& req, httplib::Response& res) {
    if (files != nullptr) {
      std::shared_ptr<FileHandle> file;
      uint64_t size = 0;
      switch (files->OpenFile(req.path, &file, &size)) {
        case FileRoot::Lookup::kFound:
          if (!ApplyRange(req, size, res)) return;
          SendFile(res, std::move(file), size, ContentTypeOf(req.path));
          return;
        case FileRoot::Lookup::kRefused:
          SendText(res, 400, "Bad Request: the path leaves the files folder\n");
          return;
        case FileRoot::Lookup::kNotFound:
          break;
      }
    }
    if (const BuiltInFile* built_in = BuiltInPreludeFile(req.path)) {
      if (!ApplyRange(req, built_in->bytes->size(), res)) return;
      SendBytes(res, 200, built_in->bytes, built_in->content_type);
      return;
    }
    SendText(res, 404, "Not Found\n");
  }

  // Sets the request's range for the library to apply to an answer of size
  // bytes; false when it cannot be satisfied and res holds the 416 answer.
  static bool ApplyRange(const httplib::Request& req, uint64_t size, httplib::Response& res) {
    // Without validators an If-Range never matches: the whole file goes.
    if (req.get_header_value_count("Range") != 1 || req.has_header("If-Range")) return true;
    const ByteRange range = EvaluateRange(req.get_header_value("Range"), size);
    if (range.kind == ByteRange::Kind::kUnsatisfiable) {
      res.status = 416;
      res.set_header("Content-Range", "bytes */" + std::to_string(size));
      res.set_content("", "text/plain");
      return false;
    }
    if (range.kind == ByteRange::Kind::kPart) {
      // The request object is the library's own, not const; ranges set on
      // it make the library send that part with status 206.
      const_cast<httplib::Request&>(req).ranges = {
          {static_cast<ssize_t>(range.first), static_cast<ssize_t>(range.last)}};
    }
    return true;
  }
};

Server::Server(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Server::~Server() { Stop(); }

Status Server::Start(const ServerOptions& options, std::unique_ptr<Server>* server) {
  auto impl = std::make_unique<Impl>();
  impl->options = options;
  if (options.threads < 1) return Status::InvalidArgument("the server needs at least one thread");
  if (options.tls_cert.empty() != options.tls_key.empty()) {
    return Status::InvalidArgument("HTTPS needs both a certificate and its key");
  }
  if (!options.tls_cert.empty()) {
    const Status loaded = TlsContext::Load(options.tls_cert, options.tls_key, &impl->tls);
    if (!loaded.ok()) return loaded;
  }
  StorageOptions storage_options;
  storage_options.path = options.db_path;
  storage_options.login_ttl_seconds = options.login_ttl_seconds;
  Status status = Storage::Open(storage_options, Storage::Mode::kOpenExisting, &impl->storage);
  if (!status.ok()) return status;
  if (!options.signing_key.empty()) {
    if (options.list_validity_seconds < 0) {
      return Status::InvalidArgument("a list's validity cannot be negative");
    }
    status = ListSigner::Load(options.signing_key, options.list_validity_seconds, &impl->signer);
    if (!status.ok()) return status;
  }
  impl->objects =
      std::make_unique<BusinessObjects>(impl->storage.get(), options.throttle, impl->signer.get());
  if (!options.files_dir.empty()) {
    // Never hand out what a killed publish left half-written.
    SweepDeadTemporaries(options.files_dir, true);
    status = FileRoot::Open(options.files_dir, &impl->files);
    if (!status.ok()) return status;
  }
  impl->console = std::make_unique<Console>(impl->storage.get(), options.throttle,
                                            impl->tls != nullptr, impl->files.get());
  impl->Install();
  status = impl->StartStages();
  if (!status.ok()) return status;

  if (options.port == 0) {
    impl->port = impl->http.bind_to_any_port(options.host);
    if (impl->port <= 0) impl->port = 0;
  } else if (impl->http.bind_to_port(options.host, options.port)) {
    impl->port = options.port;
  }
  if (impl->port == 0) {  // the usual cause: the port is taken
    return Status::Error(kErrorAlreadyExists,
                         "cannot listen on " + options.host + ":" + std::to_string(options.port));
  }
  impl->http.WidenBacklog();

  Impl* raw = impl.get();
  impl->listener = std::thread([raw] { raw->http.listen_after_bind(); });
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (!raw->http.is_running()) {
    if (std::chrono::steady_clock::now() > deadline) {
      raw->http.stop();
      raw->listener.join();
      return Status::Error(kErrorInvalidFunction, "the server did not start");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  server->reset(new Server(std::move(impl)));
  return Status::OK();
}

const std::string& Server::host() const { return impl_->options.host; }

int Server::port() const { return impl_->port; }

std::string Server::base_url() const {
  const std::string& host = impl_->options.host;
  const bool v6 = host.find(':') != std::string::npos;
  const char* scheme = impl_->tls != nullptr ? "https://" : "http://";
  return scheme + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(impl_->port);
}

Storage& Server::storage() { return *impl_->storage; }

void Server::Stop() {
  std::lock_guard<std::mutex> lock(impl_->stop_mutex);
  if (impl_->stopped) return;
  impl_->stopped = true;
  impl_->stopping = true;
  impl_->http.stop();
  if (impl_->listener.joinable()) impl_->listener.join();
  // Nothing new reaches the workers once the gate stopped; what they
  // answer now closes when done, and queued logins are answered busy.
  if (impl_->gate) impl_->gate->Stop();
  if (impl_->workers) impl_->workers->Stop();
  if (impl_->logins) impl_->logins->Stop();
}

}  // namespace qv::server
