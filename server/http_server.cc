// The HTTP server on cpp-httplib.
#include "server/http_server.h"

#include <httplib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <utility>

#include "server/business_objects.h"
#include "server/dispatcher.h"
#include "server/file_root.h"
#include "server/prelude_files.h"

namespace qv::server {

namespace {

// Blocks read from a file and handed to the socket.
constexpr size_t kFileBlockSize = 256 * 1024;
// Longer request paths are refused before any pattern is matched on them.
constexpr size_t kMaxPathLength = 2048;
constexpr size_t kKeepAliveRequests = 100000;
// An idle kept-alive connection is closed after this many seconds. Stop
// waits for such connections, so this bounds how long it can take.
constexpr time_t kKeepAliveSeconds = 2;
constexpr auto kStartTimeout = std::chrono::seconds(10);

// httplib's server with a longer queue of connections waiting to be
// accepted than the library's fixed one, so that many clients connecting
// at once are not made to retry.
class WideServer : public httplib::Server {
 public:
  void WidenBacklog() {
    const auto socket = svr_sock_.load();
    if (socket != INVALID_SOCKET) ::listen(socket, SOMAXCONN);
  }
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

// Whether ranges is one range that lies in a file of size bytes: its start
// inside the file and its end (when given) not before its start, or a
// suffix of at least one byte.
bool RangeFits(const httplib::Ranges& ranges, uint64_t size) {
  if (ranges.size() != 1) return false;
  const auto [first, last] = ranges.front();
  if (first < 0) return last > 0 && size > 0;
  return static_cast<uint64_t>(first) < size && (last < 0 || last >= first);
}

}  // namespace

class Server::Impl {
 public:
  ServerOptions options;
  std::unique_ptr<Storage> storage;
  std::unique_ptr<BusinessObjects> objects;
  std::unique_ptr<FileRoot> files;
  WideServer http;
  std::thread listener;
  int port = 0;
  bool stopped = false;
  std::mutex stop_mutex;

  void Install() {
    http.new_task_queue = [threads = options.threads] {
      return new httplib::ThreadPool(static_cast<size_t>(threads));
    };
    http.set_payload_max_length(kMaxRequestBytes);
    http.set_keep_alive_max_count(kKeepAliveRequests);
    http.set_keep_alive_timeout(kKeepAliveSeconds);
    http.set_tcp_nodelay(true);
    http.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
      // The library applies a request's ranges to whatever answer it gets,
      // without checking them against its length. Ranges are therefore
      // cleared here (the request object is the library's own, not const),
      // and set again only for a file they fit; every other answer is sent
      // whole, as a server may do with any Range header.
      auto& ranges = const_cast<httplib::Request&>(req).ranges;
      httplib::Ranges asked;
      asked.swap(ranges);
      if (req.path.size() > kMaxPathLength) {
        SendText(res, 414, "URI Too Long\n");
        return httplib::Server::HandlerResponse::Handled;
      }
      if (req.method == "GET" || req.method == "HEAD") {
        ServeFile(req.path, asked, &ranges, res);
        return httplib::Server::HandlerResponse::Handled;
      }
      return httplib::Server::HandlerResponse::Unhandled;
    });
    http.Post(".*", [this](const httplib::Request& req, httplib::Response& res) {
      SendAnswer(res, Dispatch(*objects, req.body));
    });
    // The library refuses a body over the limit itself; the answer then
    // gets its error object here.
    http.set_error_handler(
        httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
          if (res.status != 413 || !res.body.empty()) {
            return httplib::Server::HandlerResponse::Unhandled;
          }
          SendAnswer(res, RequestTooLarge());
          return httplib::Server::HandlerResponse::Handled;
        }));
  }

  // Answers a GET of path. asked are the request's ranges; those to apply
  // go into *ranges.
  void ServeFile(const std::string& path, const httplib::Ranges& asked, httplib::Ranges* ranges,
                 httplib::Response& res) {
    if (files != nullptr) {
      std::shared_ptr<FileHandle> file;
      uint64_t size = 0;
      switch (files->OpenFile(path, &file, &size)) {
        case FileRoot::Lookup::kFound:
          if (RangeFits(asked, size)) *ranges = asked;
          SendFile(res, std::move(file), size, ContentTypeOf(path));
          return;
        case FileRoot::Lookup::kRefused:
          SendText(res, 400, "Bad Request: the path leaves the files folder\n");
          return;
        case FileRoot::Lookup::kNotFound:
          break;
      }
    }
    if (const BuiltInFile* built_in = BuiltInPreludeFile(path)) {
      SendBytes(res, 200, built_in->bytes, built_in->content_type);
      return;
    }
    SendText(res, 404, "Not Found\n");
  }
};

Server::Server(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Server::~Server() { Stop(); }

std::unique_ptr<Server> Server::Start(const ServerOptions& options, std::string* error) {
  auto impl = std::make_unique<Impl>();
  impl->options = options;
  if (options.threads < 1) {
    *error = "the server needs at least one thread";
    return nullptr;
  }
  StorageOptions storage_options;
  storage_options.path = options.db_path;
  storage_options.login_ttl_seconds = options.login_ttl_seconds;
  impl->storage = Storage::Open(storage_options, Storage::Mode::kOpenExisting, error);
  if (impl->storage == nullptr) return nullptr;
  impl->objects = std::make_unique<BusinessObjects>(impl->storage.get());
  if (!options.files_dir.empty()) {
    impl->files = FileRoot::Open(options.files_dir, error);
    if (impl->files == nullptr) return nullptr;
  }
  impl->Install();

  if (options.port == 0) {
    impl->port = impl->http.bind_to_any_port(options.host);
    if (impl->port <= 0) impl->port = 0;
  } else if (impl->http.bind_to_port(options.host, options.port)) {
    impl->port = options.port;
  }
  if (impl->port == 0) {
    *error = "cannot listen on " + options.host + ":" + std::to_string(options.port);
    return nullptr;
  }
  impl->http.WidenBacklog();

  Impl* raw = impl.get();
  impl->listener = std::thread([raw] { raw->http.listen_after_bind(); });
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (!raw->http.is_running()) {
    if (std::chrono::steady_clock::now() > deadline) {
      raw->http.stop();
      raw->listener.join();
      *error = "the server did not start";
      return nullptr;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return std::unique_ptr<Server>(new Server(std::move(impl)));
}

const std::string& Server::host() const { return impl_->options.host; }

int Server::port() const { return impl_->port; }

std::string Server::base_url() const {
  const std::string& host = impl_->options.host;
  const bool v6 = host.find(':') != std::string::npos;
  return "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(impl_->port);
}

Storage& Server::storage() { return *impl_->storage; }

void Server::Stop() {
  std::lock_guard<std::mutex> lock(impl_->stop_mutex);
  if (impl_->stopped) return;
  impl_->stopped = true;
  impl_->http.stop();
  if (impl_->listener.joinable()) impl_->listener.join();
}

}  // namespace qv::server
