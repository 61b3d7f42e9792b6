// Transfer: the HTTP transfer component behind the control's Inet1.
//
// Execute starts a request and returns at once; the outcome arrives later as
// a state change delivered on the UI thread (kStateResponseCompleted or
// kStateError). After completion the header and the body can be read; the
// body comes in chunks of at most the requested size, and an empty chunk
// means it is used up. Cancel abandons the request in progress (and does
// nothing when there is none).
//
// A body may arrive slowly. GetChunk waits for its bytes; a caller on the UI
// thread asks ChunkReady first and, while it answers false, runs the
// EventLoop (RunUntil) instead, so that the host stays responsive and a
// Cancel from a handler takes effect at once. Once the body is used up,
// BodyEndConfirmed tells a body that ended where the protocol marks its end
// from one that simply stopped.
//
// Used from the UI thread; implementations may work on a thread of their own
// but deliver every state change through the EventLoop.
//
// Text: the address and the request text are UTF-8 and sent as they are; header
// names and values are the bytes the server sent (ASCII in practice); a body is
// bytes.
#ifndef QV_PLATFORM_TRANSFER_H_
#define QV_PLATFORM_TRANSFER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/status.h"

namespace qv {

constexpr int kStateError = 11;
constexpr int kStateResponseCompleted = 12;

class Transfer {
 public:
  virtual ~Transfer() = default;

  // Called on the UI thread with the new state.
  virtual void SetStateChangedHandler(std::function<void(int)> handler) = 0;

  virtual Status Execute(const std::string& url, const std::string& operation,
                         const std::string& input_data,
                         const std::string& request_headers) = 0;
  // The whole response header (status line included) when name is empty,
  // otherwise the value of the named header, matched without regard to case.
  virtual std::string GetHeader(const std::string& name) = 0;
  // The next part of the body: at most max_size bytes, empty at the end.
  virtual std::vector<uint8_t> GetChunk(size_t max_size) = 0;
  // True when GetChunk(max_size) returns without waiting: max_size bytes
  // are there, or the body has ended or was cancelled. After a false answer
  // the component posts an event to the EventLoop once that changes, so a
  // loop that waits for it wakes up.
  virtual bool ChunkReady(size_t max_size) = 0;
  // True once the body has ended at the end the protocol marks: after the
  // bytes its "Content-Length" announced, or after the last chunk of a
  // chunked body, with nothing sent beyond what the response announced.
  // False while the body is still arriving, and for a body that ended
  // because the connection closed (no length, no chunks), was cut short,
  // failed, was cancelled, or was followed by bytes it did not announce
  // ("Content-Length: 0" and then data, say).
  virtual bool BodyEndConfirmed() = 0;
  virtual void Cancel() = 0;
  // The address of the current (or last) request.
  virtual std::string url() const = 0;
};

}  // namespace qv

#endif  // QV_PLATFORM_TRANSFER_H_
