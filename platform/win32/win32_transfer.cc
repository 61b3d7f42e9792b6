// Win32Transfer: a worker thread with one WinINet session, a bounded body
// buffer, and state changes posted to the UI thread.
#include "platform/win32/win32_transfer.h"

#include <algorithm>
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

constexpr size_t kSmallestRead = 64 * 1024;

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

size_t NextReadSize(size_t current, Clock::duration took, size_t smallest, size_t largest) {
  if (took < std::chrono::milliseconds(50)) current = current * 2;
  if (took > std::chrono::milliseconds(500)) current = current / 2;
  return std::clamp(current, smallest, largest);
}

struct Win32Transfer::Shared {
  explicit Shared(size_t capacity) : capacity(capacity) { ring.resize(capacity); }

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

// Carries out one request; answers whether its body ended where the
// response framed it, and sets *announced once the header was handed over.
bool RunRequest(Win32Transfer::Shared* s, HINTERNET session, uint64_t id, const std::string& url,
                const std::string& headers, const Win32TransferOptions& options,
                bool* announced) {
  const std::wstring wide_url = Utf8ToWide(url);
  const std::wstring wide_headers = Utf8ToWide(headers);
  // No cookies: the files need none, and under Wine looking them up in the
  // cookie store took most of each request's time (about 1 ms of 1.3 ms).
  const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                      INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_NO_COOKIES;
  InternetHandle request(InternetOpenUrlW(session, wide_url.c_str(),
                                          wide_headers.empty() ? nullptr : wide_headers.c_str(),
                                          static_cast<DWORD>(wide_headers.size()), flags, 0));
  if (request.get() == nullptr) return false;
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

  RateCheck rate{&options};
  rate.received = header.size();
  const size_t largest = s->capacity / 4;
  const size_t smallest = std::min(kSmallestRead, largest);
  std::vector<uint8_t> buffer(largest);
  size_t read_size = smallest;
  uint64_t body_bytes = 0;
  while (true) {
    DWORD read = 0;
    const auto started = Clock::now();
    if (!InternetReadFile(request.get(), buffer.data(), static_cast<DWORD>(read_size), &read)) {
      return false;
    }
    if (read == 0) break;
    read_size = NextReadSize(read_size, Clock::now() - started, smallest, largest);
    rate.received += read;
    body_bytes += read;
    if (rate.TooSlow()) return false;
    if (!PutBody(s, id, buffer.data(), read, &rate)) return false;
  }
  const std::string length = FieldValue(header, "Content-Length");
  const std::string coding = Lower(FieldValue(header, "Transfer-Encoding"));
  if (!length.empty()) return std::to_string(body_bytes) == length;
  return coding.size() >= 7 && coding.compare(coding.size() - 7, 7, "chunked") == 0;
}

void Worker(std::shared_ptr<Win32Transfer::Shared> s, Win32TransferOptions options) {
  InternetHandle session(
      InternetOpenW(L"qv", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
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
    shared_->changed.notify_all();
  }
  busy_.reset();
}

std::string Win32Transfer::url() const { return url_; }

}  // namespace qv::win32
