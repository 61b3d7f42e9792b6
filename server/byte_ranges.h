// Byte ranges: what a GET asked for with its Range header, checked against
// the size of the file it names, the way HTTP wants it.
//
//   a unit other than "bytes", or a value that does not parse (also "5-2":
//   an end before its start)                 -> the whole file (200)
//   one range that starts inside the file, or a suffix ("-N", N > 0)
//                                            -> that part (206), its end cut at
//                                               the end of the file (of an empty
//                                               file: the whole of it, 200)
//   ranges none of which starts inside the file, or only "-0"
//                                            -> 416, "Content-Range: bytes */SIZE"
//   several ranges, one of them satisfiable  -> the whole file (200): answers
//                                               are never multipart
//
// (No Range header, more than one, or an If-Range, which the server has no
// validators to match, also mean the whole file; the HTTP layer sees to
// that.)
//
// Pure functions; safe from any thread.
#ifndef QV_SERVER_BYTE_RANGES_H_
#define QV_SERVER_BYTE_RANGES_H_

#include <cstdint>
#include <string_view>

namespace qv::server {

struct ByteRange {
  enum class Kind { kWhole, kPart, kUnsatisfiable };
  Kind kind = Kind::kWhole;
  uint64_t first = 0;  // kPart: the first and last byte sent, last < size
  uint64_t last = 0;
};

// The answer to the value of a request's single Range header for a file of
// size bytes.
ByteRange EvaluateRange(std::string_view header, uint64_t size);

}  // namespace qv::server

#endif  // QV_SERVER_BYTE_RANGES_H_
