// CurlTransfer: the HTTP transfer component on libcurl.
//
// One worker thread per component carries out the requests with one reused
// connection handle, so that requests to the same server share a kept-alive
// connection. The response is handed over as soon as its header is complete:
// the state change kStateResponseCompleted is posted to the UI thread's
// EventLoop, and GetChunk then reads the body from the connection as it
// arrives, through a bounded buffer (when it is full, the worker waits until
// a quarter of it is free again), so memory stays flat whatever the size of
// the body. A request that fails before its header is complete posts
// kStateError; one that fails later ends its body early (the caller sees
// fewer bytes than announced, and BodyEndConfirmed is false).
//
// A reader that asked ChunkReady and got false is woken by a posted (empty)
// event once the chunk is there or the body has ended; one wake-up per wait.
//
// The end of a body is confirmed when libcurl finished it without error and
// the response framed it: by "Content-Length" or by chunks. Bytes beyond the
// body are looked for twice: libcurl reports those it read together with
// the body's end ("Excess found", "Leftovers after chunking"), and after a
// plain-http body the kept connection is checked for bytes waiting on it
// (after an empty body, those arriving within kEmptyBodyGraceMs too). Either
// makes the body unconfirmed, and the connection is shut down so that the
// next request does not read those bytes as its answer.
//
// Redirects are followed; the proxy comes from the usual environment
// variables (http_proxy, https_proxy, no_proxy). State changes of a request
// that was cancelled or replaced by a newer one are never delivered.
//
// Every method but the constructor and destructor runs on the UI thread.
#ifndef QV_PLATFORM_CURL_CURL_TRANSFER_H_
#define QV_PLATFORM_CURL_CURL_TRANSFER_H_

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/event_loop.h"
#include "platform/transfer.h"
#include "platform/transfer_channel.h"

namespace qv {

struct CurlTransferOptions {
  // Size of the buffer between the connection and GetChunk.
  size_t buffer_bytes = 4 << 20;
  // Extra certificate authorities (PEM file); "" uses the system's.
  std::string ca_file;
  long connect_timeout_seconds = 30;
  // A request fails when fewer than min_window_bytes (header and body)
  // arrive in a window of rate_window_seconds. Windows follow one another
  // from the start of the request; a new one starts whenever the worker had
  // to wait for the reader, so a reader that is busy never makes the server
  // look slow. With the defaults
  // a server that stays silent for a minute, or sends less than 1 KiB a
  // second on average over a minute, fails the request.
  long rate_window_seconds = 60;
  size_t min_window_bytes = 60 * 1024;
  // Told why a request failed to connect or to finish (libcurl's account,
  // e.g. of a certificate that did not check), with its address; called on
  // the transfer's own thread. Not for requests that were cancelled or
  // replaced, nor for an answer that came whole with an error status.
  std::function<void(const std::string& url, const std::string& reason)> on_failure;
};

// How long the connection is watched for bytes beyond an empty body.
constexpr int kEmptyBodyGraceMs = 100;

class CurlTransfer : public Transfer {
 public:
  CurlTransfer(EventLoop* loop, CurlTransferOptions options = {});
  ~CurlTransfer() override;
  CurlTransfer(const CurlTransfer&) = delete;
  CurlTransfer& operator=(const CurlTransfer&) = delete;

  void SetStateChangedHandler(std::function<void(int)> handler) override;
  // Only "GET" is offered; request_headers are "Name: value" lines separated
  // by CR LF.
  Status Execute(const std::string& url, const std::string& operation,
                 const std::string& input_data,
                 const std::string& request_headers) override;
  std::string GetHeader(const std::string& name) override;
  // Blocks until max_size body bytes are there or the body has ended, so
  // that only the last chunk of a body is short.
  std::vector<uint8_t> GetChunk(size_t max_size) override;
  bool ChunkReady(size_t max_size) override;
  bool BodyEndConfirmed() override;
  void Cancel() override;
  std::string url() const override;

 private:
  std::shared_ptr<TransferChannel> channel_;
  std::string url_;
  std::thread worker_;
};

}  // namespace qv

#endif  // QV_PLATFORM_CURL_CURL_TRANSFER_H_
