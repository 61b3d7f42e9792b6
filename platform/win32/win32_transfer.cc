// Win32Transfer: a worker thread with one WinINet session, a bounded body
// buffer, and state changes posted to the UI thread.
#include "platform/win32/win32_transfer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <utility>

#include "platform/transfer_channel.h"
#include "platform/win32/win32_wide_text.h"
#include "platform/win32/windows_api.h"

namespace qv::win32 {

namespace {

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
  // The read under way: WinINet fills both when it completes later, so they
  // live as long as the request's handle.
  INTERNET_BUFFERSW piece{};
  DWORD available = 0;
  std::vector<uint8_t> buffer = std::vector<uint8_t>(64 * 1024);
  DWORD bulk_bytes = 0;  // what the next bulk read asks for (0: not chosen yet)
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
// done at once, failed, or completed later while the worker waited (at most
// wait_ms). A cancelled or replaced request (or a transfer that stops) fails
// at once, without waiting for WinINet: the caller then closes the request's
// handle, which ends the call.
Call Complete(TransferChannel* channel, HANDLE interrupt, uint64_t id, RequestContext* request,
              BOOL returned, DWORD wait_ms = INFINITE) {
  if (returned) return Call::kDone;
  if (GetLastError() != ERROR_IO_PENDING) return Call::kFailed;
  const HANDLE handles[2] = {request->done, interrupt};
  while (true) {
    const DWORD which = WaitForMultipleObjects(2, handles, FALSE, wait_ms);
    if (which == WAIT_OBJECT_0) {
      return request->succeeded ? Call::kCompletedLater : Call::kFailed;
    }
    if (which != WAIT_OBJECT_0 + 1) return Call::kFailed;
    // Set for an earlier request: waits on.
    if (!channel->ResetUnlessStale(id, [interrupt] { ResetEvent(interrupt); })) {
      return Call::kFailed;
    }
  }
}

// The decimal "Content-Length" of a header; false when there is none or it
// is no number.
bool AnnouncedLength(const std::string& header, uint64_t* length) {
  const std::string text = HeaderFieldValue(header, "Content-Length");
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
  // No cookies: their lookup took most of a small file's request under Wine.
  DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_NO_COOKIES;
  if (parts.nScheme == INTERNET_SCHEME_HTTPS) flags |= INTERNET_FLAG_SECURE;
  return HttpOpenRequestW(connection->get(), L"GET", object.c_str(), nullptr, nullptr, nullptr,
                          flags, reinterpret_cast<DWORD_PTR>(request));
}

// The most one bulk read asks for.
constexpr DWORD kLargestBulkRead = 1 << 20;

// What the next bulk read asks for. The first asks for the least a rate
// window must bring; reads that come back at once grow (to a megabyte: each
// read costs a fixed round of calls, most of all under Wine), slow ones
// shrink again.
DWORD BulkPieceBytes(RequestContext* context, const Win32TransferOptions& options) {
  if (context->bulk_bytes == 0) {
    context->bulk_bytes = static_cast<DWORD>(
        std::clamp<size_t>(options.min_window_bytes, 4096, context->buffer.size()));
  }
  return context->bulk_bytes;
}

// Reads one piece of a body that is known to hold at least `left` bytes more:
// the read waits until the piece is full, and the bytes go straight from the
// connection into the buffer (reads of what WinINet holds at each moment get
// a few kilobytes a call). The bytes read, or nullopt when the read failed or
// was cancelled, or when too few bytes came for the rate windows it spans: a
// piece of n windows' least bytes may take n windows, never longer.
std::optional<DWORD> ReadBulk(TransferChannel* channel, HANDLE interrupt, uint64_t id,
                              HINTERNET request, RequestContext* context,
                              const Win32TransferOptions& options, uint64_t left) {
  const DWORD bytes =
      static_cast<DWORD>(std::min<uint64_t>(BulkPieceBytes(context, options), left));
  INTERNET_BUFFERSW& piece = context->piece;
  piece = INTERNET_BUFFERSW{};
  piece.dwStructSize = sizeof(piece);
  piece.lpvBuffer = context->buffer.data();
  piece.dwBufferLength = bytes;
  ResetEvent(context->done);
  context->succeeded = false;
  const uint64_t least = std::max<uint64_t>(options.min_window_bytes, 1);
  const uint64_t windows = (bytes + least - 1) / least;
  const DWORD wait_ms = static_cast<DWORD>(std::min<uint64_t>(
      windows * static_cast<uint64_t>(std::max(options.rate_window_seconds, 1L)) * 1000,
      INFINITE - 1));
  const auto started = std::chrono::steady_clock::now();
  if (Complete(channel, interrupt, id, context, InternetReadFileExW(request, &piece, 0, 0),
               wait_ms) == Call::kFailed) {
    return std::nullopt;
  }
  const auto took = std::chrono::steady_clock::now() - started;
  // No read is under way now: the buffer may change size.
  if (bytes < context->bulk_bytes) {
    // The last piece of the body: says nothing about the connection's pace.
  } else if (took < std::chrono::milliseconds(100) && bytes < kLargestBulkRead) {
    context->bulk_bytes = std::min(bytes * 2, kLargestBulkRead);
    if (context->buffer.size() < context->bulk_bytes) context->buffer.resize(context->bulk_bytes);
  } else if (took > std::chrono::seconds(1) && bytes / 2 >= least) {
    context->bulk_bytes = bytes / 2;
  }
  return piece.dwBufferLength;
}

// Reads what has arrived, after waiting for something to arrive: for a body
// without a length, and after the announced length, where a full piece might
// never come (a body that runs on past its length on a kept connection).
// 0 at the end.
std::optional<DWORD> ReadWhatIsThere(TransferChannel* channel, HANDLE interrupt, uint64_t id,
                                     HINTERNET request, RequestContext* context) {
  while (true) {
    ResetEvent(context->done);
    context->succeeded = false;
    context->available = 0;
    const Call asked = Complete(channel, interrupt, id, context,
                                InternetQueryDataAvailable(request, &context->available, 0, 0));
    if (asked == Call::kFailed) return std::nullopt;
    if (asked == Call::kCompletedLater) continue;  // bytes are there now: ask again
    if (context->available == 0) return 0;
    INTERNET_BUFFERSW& piece = context->piece;
    piece = INTERNET_BUFFERSW{};
    piece.dwStructSize = sizeof(piece);
    piece.lpvBuffer = context->buffer.data();
    piece.dwBufferLength =
        std::min(context->available, static_cast<DWORD>(context->buffer.size()));
    if (!InternetReadFileExW(request, &piece, IRF_NO_WAIT, 0)) return std::nullopt;
    if (piece.dwBufferLength > 0) return piece.dwBufferLength;
  }
}

// The largest body that is read whole before its header is handed over.
constexpr uint64_t kLargestWholeBody = 64 * 1024;

// Reads a body of the announced length (at most the channel's buffer) and
// hands header, body and end over at once: the UI thread is woken once for
// the whole file. A read that fails hands over what came, unconfirmed, as a
// body that breaks off after its header would end. Answers whether the body
// ended at its announced length; sets *announced once the header was handed
// over (never for a stale request).
bool RunWholeBody(TransferChannel* channel, HANDLE interrupt, uint64_t id, HINTERNET request,
                  RequestContext* context, const Win32TransferOptions& options,
                  const std::string& header, uint64_t length, bool* announced) {
  std::vector<uint8_t> body;
  body.reserve(static_cast<size_t>(length));
  bool complete = true;
  while (body.size() < length) {
    const std::optional<DWORD> got =
        ReadBulk(channel, interrupt, id, request, context, options, length - body.size());
    if (!got || *got == 0) {
      complete = false;
      break;
    }
    body.insert(body.end(), context->buffer.begin(), context->buffer.begin() + *got);
  }
  // Bytes beyond the announced length leave the body unconfirmed.
  if (complete) {
    const std::optional<DWORD> beyond = ReadWhatIsThere(channel, interrupt, id, request, context);
    complete = beyond && *beyond == 0;
  }
  *announced = channel->AnnounceWhole(id, header, body.data(), body.size(), complete);
  return *announced && complete;
}

// Carries out one request; answers whether its body ended where the
// response framed it, and sets *announced once the header was handed over.
// Bytes beyond an announced length are never handed over, and make the body
// unconfirmed.
bool RunRequest(TransferChannel* channel, HANDLE interrupt, HINTERNET session,
                const TransferChannel::Job& job, const Win32TransferOptions& options,
                bool* announced) {
  const uint64_t id = job.id;
  auto* context = new RequestContext;
  InternetHandle connection;
  HINTERNET opened = OpenRequest(session, job.url, context, &connection);
  if (opened == nullptr) {
    delete context;
    return false;
  }
  // Closing the handle (also when this function returns early) frees the
  // context through the callback: it is not touched after that.
  InternetHandle request(opened);
  std::string headers;
  for (const std::string& line : job.headers) headers += line + "\r\n";
  const std::wstring wide_headers = Utf8ToWide(headers);
  ResetEvent(context->done);
  context->succeeded = false;
  if (Complete(channel, interrupt, id, context,
               HttpSendRequestW(request.get(), wide_headers.empty() ? nullptr : wide_headers.c_str(),
                                static_cast<DWORD>(wide_headers.size()), nullptr, 0)) ==
      Call::kFailed) {
    return false;
  }
  const std::string header = RawHeader(request.get());
  if (header.empty()) return false;

  uint64_t length = 0;
  const bool has_length = AnnouncedLength(header, &length);
  if (has_length && length <= std::min<uint64_t>(kLargestWholeBody, options.buffer_bytes)) {
    return RunWholeBody(channel, interrupt, id, request.get(), context, options, header, length,
                        announced);
  }
  if (!channel->Announce(id, header)) return false;
  *announced = true;

  RateWindow rate{options.rate_window_seconds, options.min_window_bytes};
  rate.received = header.size();
  rate.Restart();
  uint64_t body_bytes = 0;
  while (true) {
    // Pieces of a known size up to the announced length; then (or without
    // a length) what comes, so that bytes beyond the length are seen.
    const std::optional<DWORD> got =
        has_length && body_bytes < length
            ? ReadBulk(channel, interrupt, id, request.get(), context, options,
                       length - body_bytes)
            : ReadWhatIsThere(channel, interrupt, id, request.get(), context);
    if (!got) return false;
    if (*got == 0) break;  // the end of the body
    uint64_t take = *got;
    const bool beyond = has_length && body_bytes + take > length;
    if (beyond) take = length - body_bytes;
    rate.received += take;
    body_bytes += take;
    if (take > 0 &&
        !channel->PutBody(id, context->buffer.data(), static_cast<size_t>(take), &rate)) {
      return false;
    }
    if (beyond || rate.TooSlow()) return false;
  }
  if (has_length) return body_bytes == length;
  return HeaderSaysChunked(header);
}

void Worker(std::shared_ptr<TransferChannel> channel, HANDLE interrupt,
            Win32TransferOptions options) {
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
  TransferChannel::Job job;
  while (channel->WaitForJob(&job)) {
    bool announced = false;
    const bool confirmed =
        session.get() != nullptr &&
        RunRequest(channel.get(), interrupt, session.get(), job, options, &announced);
    channel->EndRequest(job.id, confirmed, announced);
  }
}

}  // namespace

Win32Transfer::Win32Transfer(EventLoop* loop, Win32TransferOptions options)
    : channel_(std::make_shared<TransferChannel>(loop, options.buffer_bytes)),
      interrupt_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  HANDLE interrupt = interrupt_;
  channel_->SetInterruptHook([interrupt] { SetEvent(interrupt); });
  worker_ = std::thread(Worker, channel_, interrupt_, options);
}

Win32Transfer::~Win32Transfer() {
  channel_->Stop();
  worker_.join();
  CloseHandle(interrupt_);
}

void Win32Transfer::SetStateChangedHandler(std::function<void(int)> handler) {
  channel_->SetStateChangedHandler(std::move(handler));
}

Status Win32Transfer::Execute(const std::string& url, const std::string& operation,
                              const std::string& input_data,
                              const std::string& request_headers) {
  Status s = channel_->Start(url, operation, input_data, request_headers);
  if (s.ok()) url_ = url;
  return s;
}

std::string Win32Transfer::GetHeader(const std::string& name) { return channel_->Header(name); }

std::vector<uint8_t> Win32Transfer::GetChunk(size_t max_size) {
  return channel_->GetChunk(max_size);
}

bool Win32Transfer::ChunkReady(size_t max_size) { return channel_->ChunkReady(max_size); }

bool Win32Transfer::BodyEndConfirmed() { return channel_->BodyEndConfirmed(); }

void Win32Transfer::Cancel() { channel_->Cancel(); }

std::string Win32Transfer::url() const { return url_; }

}  // namespace qv::win32
