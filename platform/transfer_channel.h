// TransferChannel: what a Transfer's UI side and its worker thread share,
// the same for every HTTP backend: the request to serve, the response header,
// a bounded buffer of body bytes, and the state changes that travel to the UI
// thread's EventLoop.
//
// The UI side (Start, Header, GetChunk, ChunkReady, BodyEndConfirmed, Cancel)
// keeps the Transfer interface's promises; the worker takes a request
// (WaitForJob), hands over its header (Announce) and body (PutBody) and ends
// it (EndRequest). A request that was cancelled or replaced by a newer one is
// stale: the worker stops serving it, and none of its state changes are
// delivered.
//
// A small response may come whole (AnnounceWhole): its header, body and end
// in one step, so that the UI thread is woken once for it.
//
// Flow control: when the buffer is full the worker waits until a quarter of
// it is free (or any room, when the reader waits for more than it holds);
// a reader waits for a whole chunk, or the end of the body. A reader that
// asked ChunkReady and got false is woken by one posted (empty) event.
//
// The channel is held by a shared_ptr, by the Transfer and its worker; state
// changes posted to the loop find it expired once the Transfer is gone.
#ifndef QV_PLATFORM_TRANSFER_CHANNEL_H_
#define QV_PLATFORM_TRANSFER_CHANNEL_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/event_loop.h"
#include "platform/status.h"

namespace qv {

// The value of a header field of a whole header block (lines ended by LF or
// CR LF), matched without regard to case; "" when absent.
std::string HeaderFieldValue(const std::string& header, const std::string& name);
// True when the header's "Transfer-Encoding" ends in "chunked".
bool HeaderSaysChunked(const std::string& header);

// The rate check of one request: it fails when fewer than min_bytes (header
// and body) arrive in a window of window_seconds. A new window starts when
// the worker had to wait for the reader, so a busy reader never makes the
// server look slow.
struct RateWindow {
  long window_seconds = 60;
  size_t min_bytes = 60 * 1024;
  uint64_t received = 0;
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  uint64_t base = 0;

  void Restart();
  // True when a whole window passed with too few bytes; a window that
  // brought enough starts the next one.
  bool TooSlow();
};

class TransferChannel : public std::enable_shared_from_this<TransferChannel> {
 public:
  struct Job {
    uint64_t id = 0;
    std::string url;
    std::vector<std::string> headers;  // "Name: value", trimmed
  };

  TransferChannel(EventLoop* loop, size_t buffer_bytes);
  TransferChannel(const TransferChannel&) = delete;
  TransferChannel& operator=(const TransferChannel&) = delete;

  // ---- The UI side ----
  void SetStateChangedHandler(std::function<void(int)> handler);
  // Checks a request (only GET, no data) and hands it to the worker.
  Status Start(const std::string& url, const std::string& operation,
               const std::string& input_data, const std::string& request_headers);
  std::string Header(const std::string& name);
  std::vector<uint8_t> GetChunk(size_t max_size);
  bool ChunkReady(size_t max_size);
  bool BodyEndConfirmed();
  void Cancel();
  // Ends the worker's WaitForJob for good and makes every request stale.
  void Stop();
  // Called with the channel's mutex held whenever the request the worker
  // serves may have become stale (Start, Cancel, Stop), for a worker that
  // waits on something else than the channel. Not called while the worker
  // serves none (between EndRequest and the next WaitForJob), except by
  // Stop. Set before the worker starts.
  void SetInterruptHook(std::function<void()> hook);

  // ---- The worker ----
  // Waits for the next request; false once stopped.
  bool WaitForJob(Job* job);
  bool Stale(uint64_t id);
  // Runs reset under the channel's mutex unless the request is stale; false
  // when it is.
  bool ResetUnlessStale(uint64_t id, const std::function<void()>& reset);
  // Hands over the response header and posts kStateResponseCompleted; false
  // when the request is stale.
  bool Announce(uint64_t id, const std::string& header);
  // Hands over a whole response at once: the header, the n bytes of its body
  // (at most the buffer's size) and its end (confirmed or not), with the one
  // state change kStateResponseCompleted posted; the reader finds the body
  // there and never waits. False when the request is stale.
  bool AnnounceWhole(uint64_t id, const std::string& header, const uint8_t* body, size_t n,
                     bool confirmed);
  // Copies n body bytes into the buffer, waiting for room; false when the
  // request became stale meanwhile.
  bool PutBody(uint64_t id, const uint8_t* data, size_t n, RateWindow* rate);
  // The request is over: its body ended (confirmed when it ended where its
  // response framed it); without a header it failed, and kStateError is
  // posted.
  void EndRequest(uint64_t id, bool confirmed, bool announced);

 private:
  bool StaleLocked(uint64_t id) const { return stopping_ || current_ != id || cancelled_; }
  bool ReaderReady(size_t wanted) const;
  bool WakeReader();
  void Post(uint64_t id, int state);
  void Deliver(uint64_t id, int state);

  EventLoop* loop_;
  std::function<void(int)> handler_;      // UI thread only
  std::unique_ptr<WorkToken> busy_;       // UI thread only
  std::function<void()> interrupt_;

  std::mutex mutex_;
  std::condition_variable changed_;
  // The job the worker should take up next.
  bool has_job_ = false;
  bool stopping_ = false;
  Job job_;
  // The worker holds a request (from WaitForJob to EndRequest).
  bool serving_ = false;
  // The request being served.
  uint64_t current_ = 0;
  bool cancelled_ = false;
  bool header_done_ = false;
  std::string header_;
  bool body_done_ = false;
  bool body_confirmed_ = false;
  // Body bytes waiting for GetChunk: a ring buffer.
  const size_t capacity_;
  std::vector<uint8_t> ring_;
  size_t head_ = 0;
  size_t size_ = 0;
  size_t writer_needs_ = 0;     // room the waiting worker waits for; 0: not waiting
  size_t reader_wants_ = 0;     // bytes the waiting reader waits for; 0: not waiting
  bool reader_in_loop_ = false;  // the reader waits in the EventLoop, not here
};

}  // namespace qv

#endif  // QV_PLATFORM_TRANSFER_CHANNEL_H_
