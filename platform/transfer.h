// Transfer: the HTTP transfer component behind the control's Inet1.
//
// Execute starts a request and returns at once; the outcome arrives later as
// a state change delivered on the UI thread (kStateResponseCompleted or
// kStateError). After completion the header and the body can be read; the
// body comes in chunks of at most the requested size, and an empty chunk
// means it is used up. Cancel abandons the request in progress (and does
// nothing when there is none).
//
// Used from the UI thread; implementations may work on a thread of their own
// but deliver every state change through the EventLoop.
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
  virtual void Cancel() = 0;
  // The address of the current (or last) request.
  virtual std::string url() const = 0;
};

}  // namespace qv

#endif  // QV_PLATFORM_TRANSFER_H_
