// Win32Transfer: the HTTP transfer component on WinINet.
//
// One worker thread per component carries out the requests through one
// WinINet session (InternetOpenW), so that requests to the same server share
// a kept-alive connection. Each request is InternetConnectW, HttpOpenRequestW
// and HttpSendRequestW with INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE
// | INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_NO_COOKIES: always from
// the server, never into the cache, no cookies sent or kept. WinINet follows
// redirects and takes the system's proxy settings.
//
// The session is asynchronous: the worker waits for each call's completion
// and for Cancel (or a newer request) at once, and a request it lets go has
// its handles closed at once, which ends what WinINet still does for it. So
// a Cancel while a server stays silent frees the worker for the next request
// at once, not after the receive timeout.
//
// As soon as the header is complete, kStateResponseCompleted is posted to the
// UI thread's EventLoop, and GetChunk then reads the body as it arrives,
// through a bounded buffer (when it is full, the worker waits until a quarter
// of it is free again). A body whose announced length is at most 64 KiB (and
// the buffer's size) is read whole first and handed over with its header:
// one message to the UI thread per small file, where waking the reader for
// the body and its end took more. A request that fails before its header is
// complete posts kStateError; one that fails later ends its body early.
//
// A reader that asked ChunkReady and got false is woken by a posted (empty)
// event once the chunk is there or the body has ended; one wake-up per wait.
//
// The end of a body is confirmed when every read succeeded and the response
// framed it: the announced "Content-Length" arrived exactly, or a chunked
// body ended at its last chunk. Bytes beyond an announced length are never
// handed over and leave the body unconfirmed; WinINet passes on those that
// arrive with the body (as Wine's does), so a "Content-Length: 0" followed by
// data is no empty file. State changes of a request that was cancelled
// or replaced by a newer one are never delivered.
//
// Every method but the constructor and destructor runs on the UI thread.
//
// Text: the address and header lines are UTF-8 and cross to the wide entry
// points; the response header comes back through HttpQueryInfoW as UTF-8
// (ASCII in practice).
#ifndef QV_PLATFORM_WIN32_WIN32_TRANSFER_H_
#define QV_PLATFORM_WIN32_WIN32_TRANSFER_H_

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/event_loop.h"
#include "platform/transfer.h"
#include "platform/transfer_channel.h"

namespace qv::win32 {

struct Win32TransferOptions {
  // Size of the buffer between the connection and GetChunk.
  size_t buffer_bytes = 4 << 20;
  // A request fails when fewer than min_window_bytes (header and body)
  // arrive in a window of rate_window_seconds; a new window starts whenever
  // the worker had to wait for the reader. A server that stays silent for a
  // whole window fails the read through WinINet's receive timeout.
  long rate_window_seconds = 60;
  size_t min_window_bytes = 60 * 1024;
};

class Win32Transfer : public Transfer {
 public:
  explicit Win32Transfer(EventLoop* loop, Win32TransferOptions options = {});
  ~Win32Transfer() override;
  Win32Transfer(const Win32Transfer&) = delete;
  Win32Transfer& operator=(const Win32Transfer&) = delete;

  void SetStateChangedHandler(std::function<void(int)> handler) override;
  // Only "GET" is offered; request_headers are "Name: value" lines separated
  // by CR LF.
  Status Execute(const std::string& url, const std::string& operation,
                 const std::string& input_data,
                 const std::string& request_headers) override;
  std::string GetHeader(const std::string& name) override;
  // Blocks until max_size body bytes are there or the body has ended.
  std::vector<uint8_t> GetChunk(size_t max_size) override;
  bool ChunkReady(size_t max_size) override;
  bool BodyEndConfirmed() override;
  void Cancel() override;
  std::string url() const override;

 private:
  std::shared_ptr<TransferChannel> channel_;
  void* interrupt_;  // the worker's event for Cancel (a HANDLE)
  std::string url_;
  std::thread worker_;
};

}  // namespace qv::win32

#endif  // QV_PLATFORM_WIN32_WIN32_TRANSFER_H_
