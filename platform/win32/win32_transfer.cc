// Win32Transfer: a worker thread with one WinINet session, a bounded body
// buffer, and state changes posted to the UI thread.
#include "platform/win32/win32_transfer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <utility>

#include "platform/win32/win32_wide_text.h"
#include "platform/win32/windows_api.h"

namespace qv::win32 {

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

// A WinINet handle, closed with InternetCloseHandle.
class InternetHandle {
 public:
  InternetHandle() = default;
  explicit InternetHandle(HINTERNET handle) : handle_(handle) {}
  ~InternetHandle() {
    if (handle_ != nullptr) InternetCloseHandle(handle_);
  }
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;
  InternetHandle& operator=(InternetHandle&& other) noexcept {
    std::swap(handle_, other.handle_);
    return *this;
  }
  HINTERNET get() const { return handle_; }

 private:
  HINTERNET handle_ = nullptr;
};

// The raw response header, lines separated by CR LF, "" when unavailable.
std::string RawHeader(HINTERNET request) {
  DWORD bytes = 0;
  HttpQueryInfoW(request, HTTP_QUERY_RAW_HEADERS_CRLF, nullptr, &bytes, nullptr);
  if (bytes == 0) return "";
  std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
  bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
  if (!HttpQueryInfoW(request, HTTP_QUERY_RAW_HEADERS_CRLF, text.data(), &bytes, nullptr)) {
    return "";
  }
  text.resize(bytes / sizeof(wchar_t));
  return WideToUtf8(text);
}

}  // namespace

struct Win32Transfer::Shared {
  explicit Shared(size_t capacity)
      : capacity(capacity), interrupt(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    ring.resize(capacity);
  }
  ~Shared() { CloseHandle(interrupt); }
  Shared(const Shared&) = delete;
  Shared& operator=(const Shared&) = delete;

  std::mutex mutex;
  std::condition_variable changed;

  // The job the worker should take up next (guarded by mutex).
  bool has_job = false;
  bool stopping = false;
  uint64_t job_id = 0;
  std::string job_url;
  std::string job_headers;

  // The request being served (guarded by mutex).
  uint64_t current = 0;
  bool cancelled = false;
  bool header_done = false;
  std::string header;
  bool body_done = false;
  bool body_confirmed = false;

  // Body bytes waiting for GetChunk: a ring buffer, with the same flow
  // control as the other backends: the worker waits for room worth filling,
  // the reader for a whole chunk.
  const size_t capacity;
  std::vector<uint8_t> ring;
  size_t head = 0;
  size_t size = 0;
  size_t writer_needs = 0;
  size_t reader_wants = 0;
  bool reader_in_loop = false;

  bool ReaderReady(size_t wanted) const {
    return size >= wanted || size >= capacity || body_done || cancelled;
  }
  // Wakes a waiting reader that can go on; true when it waits in the loop
  // and the caller must post the wake-up once the mutex is free.
  bool WakeReader() {
    if (reader_wants == 0 || !ReaderReady(reader_wants)) return false;
    reader_wants = 0;
    changed.notify_all();
    return std::exchange(reader_in_loop, false);
  }
  bool Stale(uint64_t id) const { return stopping || current != id || cancelled; }
  // Set (with the mutex held) when the request being served may have become
  // stale: the worker stops waiting for WinINet and lets the request go.
  const HANDLE interrupt;
  void Interrupt() { SetEvent(interrupt); }

  std::function<void(uint64_t, int)> post;
  std::function<void()> wake;
};

namespace {

// One request's progress on the worker: the rate windows.
struct RateCheck {
  const Win32TransferOptions* options;
  uint64_t received = 0;
  Clock::time_point window_start = Clock::now();
  uint64_t window_base = 0;

  void Restart() {
    window_start = Clock::now();
    window_base = received;
  }
  // True when a whole window passed with too few bytes.
  bool TooSlow() {
    if (Clock::now() - window_start < std::chrono::seconds(options->rate_window_seconds)) {
      return false;
    }
    if (received - window_base < options->min_window_bytes) return true;
    Restart();
    return false;
  }
};

// Copies n body bytes into the ring, waiting for room; false when the
// request was cancelled or replaced meanwhile.
bool PutBody(Win32Transfer::Shared* s, uint64_t id, const uint8_t* data, size_t n,
             RateCheck* rate) {
  size_t done = 0;
  bool wake = false;
  {
    std::unique_lock<std::mutex> lock(s->mutex);
    while (done < n) {
      const size_t wanted = std::min(n - done, s->capacity / 4);
      auto can_write = [&] {
        const size_t room = s->capacity - s->size;
        return room >= wanted || (s->reader_wants > 0 && room > 0);
      };
      if (!can_write()) {
        s->writer_needs = wanted;
        s->changed.wait(lock, [&] { return s->Stale(id) || can_write(); });
        s->writer_needs = 0;
        rate->Restart();  // the reader held the body up, not the server
      }
      if (s->Stale(id)) return false;
      const size_t take = std::min(s->capacity - s->size, n - done);
      const size_t tail = (s->head + s->size) % s->capacity;
      const size_t first = std::min(take, s->capacity - tail);
      std::memcpy(s->ring.data() + tail, data + done, first);
      std::memcpy(s->ring.data(), data + done + first, take - first);
      s->size += take;
      done += take;
      wake = s->WakeReader() || wake;
    }
  }
  if (wake) s->wake();
  return true;
}

// What WinINet's status callback shares with the worker for one request.
// The callback runs on WinINet's threads and may come after the worker let
// the request go (a call still under way when its handle was closed ends
// later), so the context lives until the request handle reports that it
// closes.
struct RequestContext {
  RequestContext() : done(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~RequestContext() { CloseHandle(done); }
  RequestContext(const RequestContext&) = delete;
  RequestContext& operator=(const RequestContext&) = delete;

  HANDLE done;             // set when an asynchronous call completed
  std::atomic<bool> succeeded{false};  // that call's outcome
  DWORD available = 0;
  std::vector<uint8_t> buffer = std::vector<uint8_t>(64 * 1024);
};

void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD) {
  auto* request = reinterpret_cast<RequestContext*>(context);
  if (request == nullptr) return;  // the session's and connections' own news
  if (status == INTERNET_STATUS_REQUEST_COMPLETE) {
    // dwError is no error when the call succeeded: a completed
    // InternetQueryDataAvailable puts the bytes available there.
    request->succeeded = static_cast<const INTERNET_ASYNC_RESULT*>(info)->dwResult != 0;
    SetEvent(request->done);
  } else if (status == INTERNET_STATUS_HANDLE_CLOSING) {
    delete request;
  }
}

enum class Call { kFailed, kDone, kCompletedLater };

// The outcome of an asynchronous WinINet call that returned `returned`:
// done at once, failed, or completed later while the worker waited. A
// cancelled or replaced request (or a transfer that stops) fails at once,
// without waiting for WinINet: the caller then closes the request's handle,
// which ends the call.
Call Complete(Win32Transfer::Shared* s, uint64_t id, RequestContext* request, BOOL returned) {
  if (returned) return Call::kDone;
  if (GetLastError() != ERROR_IO_PENDING) return Call::kFailed;
  const HANDLE handles[2] = {request->done, s->interrupt};
  while (true) {
    const DWORD which = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    if (which == WAIT_OBJECT_0) {
      return request->succeeded ? Call::kCompletedLater : Call::kFailed;
    }
    if (which != WAIT_OBJECT_0 + 1) return Call::kFailed;
    std::lock_guard<std::mutex> lock(s->mutex);
    if (s->Stale(id)) return Call::kFailed;
    ResetEvent(s->interrupt);  // about an earlier request
  }
}

// The decimal "Content-Length" of a header; false when there is none or it
// is no number.
bool AnnouncedLength(const std::string& header, uint64_t* length) {
  const std::string text = FieldValue(header, "Content-Length");
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  *length = std::stoull(text);
  return true;
}

// Opens the request of url on session; closing the handle frees request.
HINTERNET OpenRequest(HINTERNET session, const std::string& url, RequestContext* request,
                      InternetHandle* connection) {
  const std::wstring wide_url = Utf8ToWide(url);
  URL_COMPONENTSW parts{};
  parts.dwStructSize = sizeof(parts);
  parts.dwHostNameLength = 1;
  parts.dwUrlPathLength = 1;
  parts.dwExtraInfoLength = 1;
  if (!InternetCrackUrlW(wide_url.c_str(), 0, 0, &parts)) return nullptr;
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
    return nullptr;
  }
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  std::wstring object = std::wstring(parts.lpszUrlPath, parts.dwUrlPathLength) +
                        std::wstring(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (object.empty()) object = L"/";
  *connection = InternetHandle(InternetConnectW(session, host.c_str(), parts.nPort, nullptr,
                                                nullptr, INTERNET_SERVICE_HTTP, 0, 0));
  if (connection->get() == nullptr) return nullptr;
  DWORD flags =
      INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION;
  if (parts.nScheme == INTERNET_SCHEME_HTTPS) flags |= INTERNET_FLAG_SECURE;
  return HttpOpenRequestW(connection->get(), L"GET", object.c_str(), nullptr, nullptr, nullptr,
                          flags, reinterpret_cast<DWORD_PTR>(request));
}

// Carries out one request; answers whether its body ended where the
// response framed it, and sets *announced once the header was handed over.
// Bytes beyond an announced length are never handed over, and make the body
// unconfirmed.
bool RunRequest(Win32Transfer::Shared* s, HINTERNET session, uint64_t id, const std::string& url,
                const std::string& headers, const Win32TransferOptions& options,
                bool* announced) {
  auto* context = new RequestContext;
  InternetHandle connection;
  HINTERNET opened = OpenRequest(session, url, context, &connection);
  if (opened == nullptr) {
    delete context;
    return false;
  }
  // Closing the handle (also when this function returns early) frees the
  // context through the callback: it is not touched after that.
  InternetHandle request(opened);
  const std::wstring wide_headers = Utf8ToWide(headers);
  ResetEvent(context->done);
  context->succeeded = false;
  if (Complete(s, id, context,
               HttpSendRequestW(request.get(), wide_headers.empty() ? nullptr : wide_headers.c_str(),
                                static_cast<DWORD>(wide_headers.size()), nullptr, 0)) ==
      Call::kFailed) {
    return false;
  }
  const std::string header = RawHeader(request.get());
  if (header.empty()) return false;
  {
    std::lock_guard<std::mutex> lock(s->mutex);
    if (s->Stale(id)) return false;
    s->header = header;
    s->header_done = true;
  }
  *announced = true;
  s->post(id, kStateResponseCompleted);

  uint64_t length = 0;
  const bool has_length = AnnouncedLength(header, &length);
  RateCheck rate{&options};
  rate.received = header.size();
  uint64_t body_bytes = 0;
  while (true) {
    ResetEvent(context->done);
    context->succeeded = false;
    context->available = 0;
    const Call asked = Complete(
        s, id, context, InternetQueryDataAvailable(request.get(), &context->available, 0, 0));
    if (asked == Call::kFailed) return false;
    if (asked == Call::kCompletedLater) continue;  // bytes are there now: ask again
    if (context->available == 0) break;
    // Only what is there already: the wait was for the data's arrival.
    INTERNET_BUFFERSW piece{};
    piece.dwStructSize = sizeof(piece);
    piece.lpvBuffer = context->buffer.data();
    piece.dwBufferLength =
        std::min(context->available, static_cast<DWORD>(context->buffer.size()));
    if (!InternetReadFileExW(request.get(), &piece, IRF_NO_WAIT, 0)) return false;
    if (piece.dwBufferLength == 0) continue;
    uint64_t take = piece.dwBufferLength;
    const bool beyond = has_length && body_bytes + take > length;
    if (beyond) take = length - body_bytes;
    rate.received += take;
    body_bytes += take;
    if (take > 0 && !PutBody(s, id, context->buffer.data(), static_cast<size_t>(take), &rate)) {
      return false;
    }
    if (beyond || rate.TooSlow()) return false;
  }
  if (has_length) return body_bytes == length;
  const std::string coding = Lower(FieldValue(header, "Transfer-Encoding"));
  return coding.size() >= 7 && coding.compare(coding.size() - 7, 7, "chunked") == 0;
}

void Worker(std::shared_ptr<Win32Transfer::Shared> s, Win32TransferOptions options) {
  // Asynchronous, so that the worker waits for WinINet and for a cancel at
  // once: a request to a server that stays silent is let go at once.
  InternetHandle session(
      InternetOpenW(L"qv", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, INTERNET_FLAG_ASYNC));
  if (session.get() != nullptr &&
      InternetSetStatusCallbackW(session.get(), OnStatus) == INTERNET_INVALID_STATUS_CALLBACK) {
    session = InternetHandle();
  }
  if (session.get() != nullptr) {
    DWORD timeout_ms = static_cast<DWORD>(options.rate_window_seconds * 1000);
    InternetSetOptionW(session.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout_ms,
                       sizeof(timeout_ms));
  }
  while (true) {
    uint64_t id;
    std::string url;
    std::string headers;
    {
      std::unique_lock<std::mutex> lock(s->mutex);
      s->changed.wait(lock, [&] { return s->stopping || s->has_job; });
      if (s->stopping) break;
      s->has_job = false;
      id = s->job_id;
      url = s->job_url;
      headers = s->job_headers;
    }
    bool announced = false;
    const bool confirmed = session.get() != nullptr &&
                           RunRequest(s.get(), session.get(), id, url, headers, options,
                                      &announced);
    bool failed_before_header = false;
    bool wake = false;
    {
      std::lock_guard<std::mutex> lock(s->mutex);
      if (s->current == id) {
        s->body_done = true;
        s->body_confirmed = confirmed && !s->cancelled;
        failed_before_header = !announced && !s->cancelled && !s->stopping;
      }
      wake = s->WakeReader();
      s->changed.notify_all();
    }
    if (wake) s->wake();
    if (failed_before_header) s->post(id, kStateError);
  }
}

}  // namespace

Win32Transfer::Win32Transfer(EventLoop* loop, Win32TransferOptions options)
    : loop_(loop), shared_(std::make_shared<Shared>(std::max<size_t>(options.buffer_bytes, 4096))) {
  // The shared state lives exactly as long as this object (the worker is
  // joined in the destructor), so a change that arrives after the object is
  // gone finds it expired and is dropped.
  std::weak_ptr<Shared> weak = shared_;
  shared_->post = [this, loop, weak](uint64_t id, int state) {
    loop->Post([this, weak, id, state] {
      if (weak.lock()) Deliver(id, state);
    });
  };
  shared_->wake = [loop] { loop->Post([] {}); };
  worker_ = std::thread(Worker, shared_, options);
}

Win32Transfer::~Win32Transfer() {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->stopping = true;
    shared_->Interrupt();
    shared_->changed.notify_all();
  }
  worker_.join();
}

void Win32Transfer::SetStateChangedHandler(std::function<void(int)> handler) {
  handler_ = std::move(handler);
}

void Win32Transfer::Deliver(uint64_t request, int state) {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->current != request || shared_->cancelled) return;
  }
  if (handler_) handler_(state);
  std::lock_guard<std::mutex> lock(shared_->mutex);
  if (shared_->current == request) busy_.reset();
}

Status Win32Transfer::Execute(const std::string& url, const std::string& operation,
                              const std::string& input_data,
                              const std::string& request_headers) {
  if (operation != "GET" && !operation.empty()) {
    return Status::Error(kErrorNotSupported, "only GET requests are made");
  }
  if (!input_data.empty()) {
    return Status::Error(kErrorNotSupported, "a GET request carries no data");
  }
  // Header lines, each ended by CR LF, as WinINet takes them.
  std::string headers;
  size_t start = 0;
  while (start < request_headers.size()) {
    size_t end = request_headers.find("\r\n", start);
    if (end == std::string::npos) end = request_headers.size();
    const std::string line = Trim(request_headers.substr(start, end - start));
    if (!line.empty()) headers += line + "\r\n";
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
  shared_->Interrupt();  // the worker lets an earlier request go
  shared_->changed.notify_all();
  return Status::OK();
}

std::string Win32Transfer::GetHeader(const std::string& name) {
  std::string header;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    header = shared_->header;
  }
  return name.empty() ? header : FieldValue(header, name);
}

std::vector<uint8_t> Win32Transfer::GetChunk(size_t max_size) {
  std::vector<uint8_t> chunk;
  Shared* s = shared_.get();
  std::unique_lock<std::mutex> lock(s->mutex);
  if (!s->header_done || s->cancelled || max_size == 0) return chunk;
  if (!s->ReaderReady(max_size)) {
    s->reader_wants = max_size;
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

bool Win32Transfer::ChunkReady(size_t max_size) {
  Shared* s = shared_.get();
  std::lock_guard<std::mutex> lock(s->mutex);
  if (!s->header_done || max_size == 0 || s->ReaderReady(max_size)) return true;
  s->reader_wants = max_size;
  s->reader_in_loop = true;
  if (s->writer_needs > 0) s->changed.notify_all();
  return false;
}

bool Win32Transfer::BodyEndConfirmed() {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->body_done && shared_->body_confirmed && !shared_->cancelled;
}

void Win32Transfer::Cancel() {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->cancelled = true;
    shared_->reader_wants = 0;
    shared_->reader_in_loop = false;
    shared_->Interrupt();
    shared_->changed.notify_all();
  }
  busy_.reset();
}

std::string Win32Transfer::url() const { return url_; }

}  // namespace qv::win32
