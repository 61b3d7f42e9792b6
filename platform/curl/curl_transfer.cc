// CurlTransfer: a worker thread with one reused easy handle, a bounded body
// buffer, and state changes posted to the UI thread.
#include "platform/curl/curl_transfer.h"

#include <curl/curl.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>

#include <cstdlib>
#include <string_view>
#include <utility>

#include "platform/transfer_channel.h"

namespace qv {

namespace {

bool IsBlankLine(const std::string& line) {
  return line.find_first_not_of(" \t\r\n") == std::string::npos;
}

struct GlobalInit {
  GlobalInit() { curl_global_init(CURL_GLOBAL_DEFAULT); }
};

struct RequestContext {
  TransferChannel* channel = nullptr;
  uint64_t id = 0;
  std::string header_block;  // the response being received
  bool announced = false;
  RateWindow rate;  // header and body bytes so far
  uint64_t body_bytes = 0;
  bool too_slow = false;
  // libcurl found bytes beyond the announced length with the header.
  bool excess = false;
};

// True (and the request to be abandoned) when a whole window has passed with
// too few bytes.
bool TooSlow(RequestContext* ctx) {
  if (!ctx->rate.TooSlow()) return false;
  ctx->too_slow = true;
  return true;
}

void Announce(RequestContext* ctx) {
  if (ctx->channel->Announce(ctx->id, ctx->header_block)) ctx->announced = true;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto* ctx = static_cast<RequestContext*>(user);
  const size_t n = size * count;
  ctx->rate.received += n;
  std::string line(data, n);
  if (line.rfind("HTTP/", 0) == 0) ctx->header_block.clear();
  ctx->header_block += line;
  if (IsBlankLine(line) && !ctx->announced) {
    // The end of one response's header. Interim responses and redirects that
    // will be followed are not the response the caller asked for.
    int code = 0;
    const size_t space = ctx->header_block.find(' ');
    if (space != std::string::npos) code = std::atoi(ctx->header_block.c_str() + space + 1);
    const bool interim = code >= 100 && code < 200;
    const bool redirect = code >= 300 && code < 400 &&
                          !HeaderFieldValue(ctx->header_block, "Location").empty();
    if (!interim && !redirect) Announce(ctx);
  }
  return n;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto* ctx = static_cast<RequestContext*>(user);
  const size_t n = size * count;
  ctx->rate.received += n;
  ctx->body_bytes += n;
  if (TooSlow(ctx)) return 0;  // abandons the request
  if (!ctx->announced) Announce(ctx);
  if (!ctx->channel->PutBody(ctx->id, reinterpret_cast<const uint8_t*>(data), n, &ctx->rate)) {
    return 0;  // abandons the request
  }
  return n;
}

int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* ctx = static_cast<RequestContext*>(user);
  if (ctx->channel->Stale(ctx->id)) return 1;
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
  const bool chunked = HeaderSaysChunked(ctx.header_block);
  if (length < 0 && !chunked) return false;  // read until the connection closed
  if (!ctx.excess && !BytesAfterBody(curl, ctx.body_bytes == 0)) return true;
  const curl_socket_t fd = KeptSocket(curl);
  if (fd != CURL_SOCKET_BAD) ::shutdown(fd, SHUT_RDWR);
  return false;
}

void Worker(std::shared_ptr<TransferChannel> channel, CurlTransferOptions options) {
  static GlobalInit init;
  CURL* curl = curl_easy_init();
  TransferChannel::Job job;
  while (channel->WaitForJob(&job)) {
    RequestContext ctx;
    ctx.channel = channel.get();
    ctx.id = job.id;
    ctx.rate.window_seconds = options.rate_window_seconds;
    ctx.rate.min_bytes = options.min_window_bytes;
    ctx.rate.Restart();
    curl_slist* list = nullptr;
    for (const std::string& h : job.headers) list = curl_slist_append(list, h.c_str());
    curl_easy_reset(curl);
    curl_easy_setopt(curl, CURLOPT_URL, job.url.c_str());
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
    char reason[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, reason);
    const CURLcode rc = curl_easy_perform(curl);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    if (rc != CURLE_OK && options.on_failure && !channel->Stale(job.id)) {
      const std::string why =
          ctx.too_slow ? "fewer than " + std::to_string(options.min_window_bytes) +
                             " bytes arrived in " + std::to_string(options.rate_window_seconds) +
                             " seconds"
          : reason[0] != 0 ? std::string(reason)
                           : std::string(curl_easy_strerror(rc));
      options.on_failure(job.url, why);
    }
    curl_slist_free_all(list);
    if (rc == CURLE_OK && !ctx.announced) Announce(&ctx);  // a response with no body
    channel->EndRequest(job.id, EndConfirmed(curl, rc, ctx), ctx.announced);
  }
  curl_easy_cleanup(curl);
}

}  // namespace

CurlTransfer::CurlTransfer(EventLoop* loop, CurlTransferOptions options)
    : channel_(std::make_shared<TransferChannel>(loop, options.buffer_bytes)) {
  worker_ = std::thread(Worker, channel_, options);
}

CurlTransfer::~CurlTransfer() {
  channel_->Stop();
  worker_.join();
}

void CurlTransfer::SetStateChangedHandler(std::function<void(int)> handler) {
  channel_->SetStateChangedHandler(std::move(handler));
}

Status CurlTransfer::Execute(const std::string& url, const std::string& operation,
                             const std::string& input_data,
                             const std::string& request_headers) {
  Status s = channel_->Start(url, operation, input_data, request_headers);
  if (s.ok()) url_ = url;
  return s;
}

std::string CurlTransfer::GetHeader(const std::string& name) { return channel_->Header(name); }

std::vector<uint8_t> CurlTransfer::GetChunk(size_t max_size) {
  return channel_->GetChunk(max_size);
}

bool CurlTransfer::ChunkReady(size_t max_size) { return channel_->ChunkReady(max_size); }

bool CurlTransfer::BodyEndConfirmed() { return channel_->BodyEndConfirmed(); }

void CurlTransfer::Cancel() { channel_->Cancel(); }

std::string CurlTransfer::url() const { return url_; }

}  // namespace qv
