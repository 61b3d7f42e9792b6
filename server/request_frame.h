// Request framing: where one HTTP/1.1 request ends, decided from its header
// alone, before any worker sees it (server/connection_gate.h).
//
// Only header lines that end in CR LF count, as in the HTTP library, which
// skips the others. The header is handed on without its Expect lines (the
// gate answers "100-continue" itself) and without its Range lines (whose
// values are kept apart: the HTTP library would refuse a Range it cannot
// parse with 416, where HTTP wants it ignored).
//
// Pure functions; safe from any thread.
#ifndef QV_SERVER_REQUEST_FRAME_H_
#define QV_SERVER_REQUEST_FRAME_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qv::server {

struct RequestFrame {
  enum class Body {
    kLength,    // body_length bytes of body follow (none: 0)
    kTooLarge,  // a Content-Length over the limit: the body is read and
                // dropped, and the request is answered 413
    kUnframed,  // a Transfer-Encoding, or a Content-Length that is not one
                // number: the header alone is handed on, and the connection
                // closes after the answer
  };
  Body body = Body::kLength;
  uint64_t body_length = 0;
  bool expects_continue = false;
  std::string header;               // as handed on
  std::vector<std::string> ranges;  // the values of the Range lines taken out
};

// The length of the header at the start of bytes, through the empty line
// that ends it; std::string_view::npos when that line has not arrived.
size_t HeaderLength(std::string_view bytes);

// header: the bytes HeaderLength measured. max_body: the largest body taken.
RequestFrame FrameRequest(std::string_view header, uint64_t max_body);

}  // namespace qv::server

#endif  // QV_SERVER_REQUEST_FRAME_H_
