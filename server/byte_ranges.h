// Byte ranges: what a GET asked for with its Range header, checked against
// the size of the file it names, the way HTTP wants it.
//
//   no Range header, more than one, a unit other than "bytes", a header
//   that does not parse (also "5-2": an end before its start), or an
//   If-Range the server cannot check                    -> the whole file (200)
//   one range that starts inside the file, or a suffix ("-N", N > 0) of a
//   file that is not empty                              -> that part (206), its
//                                                          end cut at the end of
//                                                          the file
//   ranges none of which starts inside the file         -> 416, with
//                                                          "Content-Range: bytes */SIZE"
//   several ranges, at least one of them satisfiable    -> the whole file (200):
//                                                          answers are never
//                                                          multipart
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
