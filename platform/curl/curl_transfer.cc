// CurlTransfer: a worker thread with one reused easy handle, a bounded body
// buffer, and state changes posted to the UI thread.
#include "platform/curl/curl_transfer.h"

#include <curl/curl.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string_view>
#include <utility>

namespace qv {

namespace {

using Clock = std::chrono::steady_clock;

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  const size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

// The value of a header field of a whole header block, "" when absent.
std::string FieldValue(const std::string& header, const std::string& name) {
  const std::string wanted = Lower(name);
  size_t start = 0;
  while (start < header.size()) {
    size_t end = header.find('\n', start);
    if (end == std::string::npos) end = header.size();
    const std::string line = header.substr(start, end - start);
    const size_t colon = line.find(':');
    if (colon != std::string::npos && Lower(Trim(line.substr(0, colon))) == wanted) {
      return Trim(line.substr(colon + 1));
    }
    start = end + 1;
  }
  return "";
}

struct GlobalInit {
  GlobalInit() { curl_global_init(CURL_GLOBAL_DEFAULT); }
};

}  // namespace

struct CurlTransfer::Shared {
  explicit Shared(size_t capacity) : capacity(capacity) { ring.resize(capacity); }

  std::mutex mutex;
  std::condition_variable changed;

  // The job the worker should take up next (guarded by mutex).
  bool has_job = false;
  bool stopping = false;
  uint64_t job_id = 0;
  std::string job_url;
  std::vector<std::string> job_headers;

  // The request being served (guarded by mutex).
  uint64_t current = 0;     // id of the newest request
  bool cancelled = false;   // the newest request was cancelled
  bool header_done = false;
  std::string header;       // of the last response
  bool body_done = false;
  bool body_confirmed = false;

  // Body bytes waiting for GetChunk: a ring buffer.
  const size_t capacity;
  std::vector<uint8_t> ring;
  size_t head = 0;
  size_t size = 0;
  // Flow control. A side that waits says so, and the other side wakes it
  // only when it can go on: the worker waits for room worth filling (not for
  // every chunk the reader takes), the reader for a whole chunk. Waking a
  // thread for every 2 KiB chunk would cost more than the copy.
  size_t writer_needs = 0;  // room the waiting worker waits for; 0: not waiting
  size_t reader_wants = 0;  // bytes the waiting reader waits for; 0: not waiting
  bool reader_in_loop = false;  // the reader waits in the EventLoop, not here

  // A reader waiting for reader_wants bytes can go on.
  bool ReaderReady(size_t wanted) const {
    return size >= wanted || size >= capacity || body_done || cancelled;
  }
  // Wakes a waiting reader that can go on: one blocked in GetChunk through
  // the condition variable; for one waiting in the loop, answers true, and
  // the caller posts the wake-up once it has let go of the mutex.
  bool WakeReader() {
    if (reader_wants == 0 || !ReaderReady(reader_wants)) return false;
    reader_wants = 0;
    changed.notify_all();
    return std::exchange(reader_in_loop, false);
  }

  // Posts state changes to the UI thread, and empty events that wake it.
  std::function<void(uint64_t, int)> post;
  std::function<void()> wake;
};

namespace {

struct RequestContext {
  CurlTransfer::Shared* shared = nullptr;
  const CurlTransferOptions* options = nullptr;
  uint64_t id = 0;
  std::string header_block;  // the response being received
  bool announced = false;
  // The rate check: bytes of header and body so far, and the window.
  uint64_t received = 0;
  uint64_t body_bytes = 0;
  Clock::time_point window_start;
  uint64_t window_base = 0;
  bool too_slow = false;
  // libcurl found bytes beyond the announced length with the header.
  bool excess = false;
};

bool Stale(CurlTransfer::Shared* s, uint64_t id) {
  return s->stopping || s->current != id || s->cancelled;
}

// Starts a new rate window now.
void RestartWindow(RequestContext* ctx) {
  ctx->window_start = Clock::now();
  ctx->window_base = ctx->received;
}

// True (and the request to be abandoned) when a whole window has passed with
// too few bytes; a window that brought enough starts the next one.
bool TooSlow(RequestContext* ctx) {
  if (Clock::now() - ctx->window_start < std::chrono::seconds(ctx->options->rate_window_seconds)) {
    return false;
  }
  if (ctx->received - ctx->window_base < ctx->options->min_window_bytes) {
    ctx->too_slow = true;
    return true;
  }
  RestartWindow(ctx);
  return false;
}

void Announce(RequestContext* ctx) {
  CurlTransfer::Shared* s = ctx->shared;
  {
    std::lock_guard<std::mutex> lock(s->mutex);
    if (Stale(s, ctx->id)) return;
    s->header = ctx->header_block;
    s->header_done = true;
  }
  ctx->announced = true;
  s->post(ctx->id, kStateResponseCompleted);
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto* ctx = static_cast<RequestContext*>(user);
  const size_t n = size * count;
  ctx->received += n;
  std::string line(data, n);
  if (line.rfind("HTTP/", 0) == 0) ctx->header_block.clear();
  ctx->header_block += line;
  if (Trim(line).empty() && !ctx->announced) {
    // The end of one response's header. Interim responses and redirects that
    // will be followed are not the response the caller asked for.
    int code = 0;
    const size_t space = ctx->header_block.find(' ');
    if (space != std::string::npos) code = std::atoi(ctx->header_block.c_str() + space + 1);
    const bool interim = code >= 100 && code < 200;
    const bool redirect = code >= 300 && code < 400 &&
                          Lower(ctx->header_block).find("\nlocation:") != std::string::npos;
    if (!interim && !redirect) Announce(ctx);
  }
  return n;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto* ctx = static_cast<RequestContext*>(user);
  CurlTransfer::Shared* s = ctx->shared;
  const size_t n = size * count;
  ctx->received += n;
  ctx->body_bytes += n;
  if (TooSlow(ctx)) return 0;  // abandons the request
  if (!ctx->announced) Announce(ctx);
  size_t done = 0;
  bool wake = false;
  {
    std::unique_lock<std::mutex> lock(s->mutex);
    while (done < n) {
      // Waits for a quarter of the buffer (or the rest of this piece) to be
      // free, so that the reader drains a good part before the worker is
      // woken; any room will do when the reader waits for more bytes than
      // the buffer holds now.
      const size_t wanted = std::min(n - done, s->capacity / 4);
      auto can_write = [&] {
        const size_t room = s->capacity - s->size;
        return room >= wanted || (s->reader_wants > 0 && room > 0);
      };
      if (!can_write()) {
        s->writer_needs = wanted;
        s->changed.wait(lock, [&] { return Stale(s, ctx->id) || can_write(); });
        s->writer_needs = 0;
        // The reader held the body up: that time is not the server's.
        RestartWindow(ctx);
      }
      if (Stale(s, ctx->id)) return 0;  // abandons the request
      const size_t room = s->capacity - s->size;
      size_t take = std::min(room, n - done);
      size_t tail = (s->head + s->size) % s->capacity;
      size_t first = std::min(take, s->capacity - tail);
      std::memcpy(s->ring.data() + tail, data + done, first);
      std::memcpy(s->ring.data(), data + done + first, take - first);
      s->size += take;
      done += take;
      wake = s->WakeReader() || wake;
    }
  }
  if (wake) s->wake();
  return n;
}

int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* ctx = static_cast<RequestContext*>(user);
  {
    std::lock_guard<std::mutex> lock(ctx->shared->mutex);
    if (Stale(ctx->shared, ctx->id)) return 1;
  }
  return TooSlow(ctx) ? 1 : 0;
}

// libcurl's own account of the transfer: it tells of bytes found beyond the
// announced length, or beyond the last chunk, in the read that ended the
// header or the body.
int OnDebug(CURL*, curl_infotype type, char* data, size_t size, void* user) {
  if (type != CURLINFO_TEXT) return 0;
  const std::string_view text(data, size);
  if (text.starts_with("Excess found") || text.starts_with("Leftovers after chunking")) {
    static_cast<RequestContext*>(user)->excess = true;
  }
  return 0;
}

// The socket of the connection that is kept for the next request, or
// CURL_SOCKET_BAD when libcurl closed it.
curl_socket_t KeptSocket(CURL* curl) {
  curl_socket_t fd = CURL_SOCKET_BAD;
  if (curl_easy_getinfo(curl, CURLINFO_ACTIVESOCKET, &fd) != CURLE_OK) return CURL_SOCKET_BAD;
  return fd;
}

// Bytes that arrived on the kept plain-http connection after the body:
// nothing may follow a response until the next request. An empty body gets
// a short grace, since such bytes may trail the header by a moment.
bool BytesAfterBody(CURL* curl, bool empty_body) {
  char* scheme = nullptr;
  if (curl_easy_getinfo(curl, CURLINFO_SCHEME, &scheme) != CURLE_OK || scheme == nullptr ||
      ::strcasecmp(scheme, "http") != 0) {
    return false;
  }
  const curl_socket_t fd = KeptSocket(curl);
  if (fd == CURL_SOCKET_BAD) return false;
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, empty_body ? kEmptyBodyGraceMs : 0) <= 0) return false;
  char byte = 0;
  return ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

// The body ended where its response said it would. A connection that
// carried more than its response announced is shut down, so that the next
// request does not take those bytes for its answer.
bool EndConfirmed(CURL* curl, CURLcode rc, const RequestContext& ctx) {
  if (rc != CURLE_OK || ctx.too_slow) return false;
  curl_off_t length = -1;
  curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
  const std::string coding = Lower(FieldValue(ctx.header_block, "Transfer-Encoding"));
  const bool chunked = coding.size() >= 7 && coding.compare(coding.size() - 7, 7, "chunked") == 0;
  if (length < 0 && !chunked) return false;  // read until the connection closed
  if (!ctx.excess && !BytesAfterBody(curl, ctx.body_bytes == 0)) return true;
  const curl_socket_t fd = KeptSocket(curl);
  if (fd != CURL_SOCKET_BAD) ::shutdown(fd, SHUT_RDWR);
  return false;
}

void Worker(std::shared_ptr<CurlTransfer::Shared> s, CurlTransferOptions options) {
  static GlobalInit init;
  CURL* curl = curl_easy_init();
  while (true) {
    uint64_t id;
    std::string url;
    std::vector<std::string> headers;
    {
      std::unique_lock<std::mutex> lock(s->mutex);
      s->changed.wait(lock, [&] { return s->stopping || s->has_job; });
      if (s->stopping) break;
      s->has_job = false;
      id = s->job_id;
      url = s->job_url;
      headers = s->job_headers;
    }
    RequestContext ctx;
    ctx.shared = s.get();
    ctx.options = &options;
    ctx.id = id;
    RestartWindow(&ctx);
    curl_slist* list = nullptr;
    for (const std::string& h : headers) list = curl_slist_append(list, h.c_str());
    curl_easy_reset(curl);
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
    // Only web addresses, first and after a redirect: never a local file.
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, options.connect_timeout_seconds);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &ctx);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &ctx);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, OnProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &ctx);
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, OnDebug);
    curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &ctx);
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 256L * 1024L);
    if (!options.ca_file.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, options.ca_file.c_str());
    const CURLcode rc = curl_easy_perform(curl);
    curl_slist_free_all(list);
    if (rc == CURLE_OK && !ctx.announced) Announce(&ctx);  // a response with no body
    const bool confirmed = EndConfirmed(curl, rc, ctx);
    bool failed_before_header = false;
    bool wake = false;
    {
      std::lock_guard<std::mutex> lock(s->mutex);
      if (s->current == id) {
        s->body_done = true;
        s->body_confirmed = confirmed && !s->cancelled;
        failed_before_header = rc != CURLE_OK && !ctx.announced && !s->cancelled && !s->stopping;
      }
      wake = s->WakeReader();
      s->changed.notify_all();
    }
    if (wake) s->wake();
    if (failed_before_header) s->post(id, kStateError);
  }
  curl_easy_cleanup(curl);
}

}  // namespace

CurlTransfer::CurlTransfer(EventLoop* loop, CurlTransferOptions options)
    : loop_(loop), shared_(std::make_shared<Shared>(std::max<size_t>(options.buffer_bytes, 4096))) {
  // State changes travel to the UI thread. The shared state lives exactly
  // as long as this object (the worker is joined in the destructor), so a
  // change that arrives after the object is gone finds it expired and is
  // dropped.
  std::weak_ptr<Shared> weak = shared_;
  shared_->post = [this, loop, weak](uint64_t id, int state) {
    loop->Post([this, weak, id, state] {
      if (weak.lock()) Deliver(id, state);
    });
  };
  shared_->wake = [loop] { loop->Post([] {}); };
  worker_ = std::thread(Worker, shared_, options);
}

CurlTransfer::~CurlTransfer() {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->stopping = true;
    shared_->changed.notify_all();
  }
  worker_.join();
}

void CurlTransfer::SetStateChangedHandler(std::function<void(int)> handler) {
  handler_ = std::move(handler);
}

void CurlTransfer::Deliver(uint64_t request, int state) {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->current != request || shared_->cancelled) return;
  }
  if (handler_) handler_(state);
  // The request is over once its final state has been handled.
  std::lock_guard<std::mutex> lock(shared_->mutex);
  if (shared_->current == request) busy_.reset();
}

Status CurlTransfer::Execute(const std::string& url, const std::string& operation,
                             const std::string& input_data,
                             const std::string& request_headers) {
  if (operation != "GET" && !operation.empty()) {
    return Status::Error(kErrorNotSupported, "only GET requests are made");
  }
  if (!input_data.empty()) {
    return Status::Error(kErrorNotSupported, "a GET request carries no data");
  }
  std::vector<std::string> headers;
  size_t start = 0;
  while (start < request_headers.size()) {
    size_t end = request_headers.find("\r\n", start);
    if (end == std::string::npos) end = request_headers.size();
    const std::string line = Trim(request_headers.substr(start, end - start));
    if (!line.empty()) headers.push_back(line);
    start = end + 2;
  }
  url_ = url;
  busy_ = std::make_unique<WorkToken>(loop_);
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->current = ++shared_->job_id;
  shared_->has_job = true;
  shared_->job_url = url;
  shared_->job_headers = std::move(headers);
  shared_->cancelled = false;
  shared_->header_done = false;
  shared_->header.clear();
  shared_->body_done = false;
  shared_->body_confirmed = false;
  shared_->head = 0;
  shared_->size = 0;
  shared_->reader_wants = 0;
  shared_->reader_in_loop = false;
  shared_->changed.notify_all();
  return Status::OK();
}

std::string CurlTransfer::GetHeader(const std::string& name) {
  std::string header;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    header = shared_->header;
  }
  return name.empty() ? header : FieldValue(header, name);
}

std::vector<uint8_t> CurlTransfer::GetChunk(size_t max_size) {
  std::vector<uint8_t> chunk;
  Shared* s = shared_.get();
  std::unique_lock<std::mutex> lock(s->mutex);
  if (!s->header_done || s->cancelled || max_size == 0) return chunk;
  // A full chunk, or what is left at the end of the body: a short chunk
  // means the body is over.
  if (!s->ReaderReady(max_size)) {
    s->reader_wants = max_size;
    // A worker that waits for more room than there is can now fill what
    // there is.
    if (s->writer_needs > 0) s->changed.notify_all();
    s->changed.wait(lock, [&] { return s->ReaderReady(max_size); });
    s->reader_wants = 0;
  }
  if (s->cancelled) return chunk;
  const size_t take = std::min(max_size, s->size);
  if (take == 0) return chunk;
  chunk.resize(take);
  const size_t first = std::min(take, s->capacity - s->head);
  std::memcpy(chunk.data(), s->ring.data() + s->head, first);
  std::memcpy(chunk.data() + first, s->ring.data(), take - first);
  s->head = (s->head + take) % s->capacity;
  s->size -= take;
  if (s->writer_needs > 0 && s->capacity - s->size >= s->writer_needs) s->changed.notify_all();
  return chunk;
}

bool CurlTransfer::ChunkReady(size_t max_size) {
  Shared* s = shared_.get();
  std::lock_guard<std::mutex> lock(s->mutex);
  if (!s->header_done || max_size == 0 || s->ReaderReady(max_size)) return true;
  s->reader_wants = max_size;
  s->reader_in_loop = true;
  if (s->writer_needs > 0) s->changed.notify_all();
  return false;
}

bool CurlTransfer::BodyEndConfirmed() {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->body_done && shared_->body_confirmed && !shared_->cancelled;
}

void CurlTransfer::Cancel() {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->cancelled = true;
    shared_->reader_wants = 0;
    shared_->reader_in_loop = false;
    shared_->changed.notify_all();
  }
  busy_.reset();
}

std::string CurlTransfer::url() const { return url_; }

}  // namespace qv
