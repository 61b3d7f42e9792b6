// Reading the header lines that frame a request.
#include "server/request_frame.h"

#include <algorithm>
#include <limits>

namespace qv::server {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char x, char y) { return (x | 0x20) == (y | 0x20); });
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// A Content-Length value: digits only; a value too large for 64 bits counts
// as the largest one.
bool ParseLength(std::string_view text, uint64_t* length) {
  if (text.empty()) return false;
  constexpr uint64_t kHuge = std::numeric_limits<uint64_t>::max();
  uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    value = value > (kHuge - digit) / 10 ? kHuge : value * 10 + digit;
  }
  *length = value;
  return true;
}

}  // namespace

size_t HeaderLength(std::string_view bytes) {
  // The request line and each header line end in CR LF; the header ends
  // with a line that is only CR LF.
  const size_t at = bytes.find("\n\r\n");
  return at == std::string_view::npos ? at : at + 3;
}

RequestFrame FrameRequest(std::string_view header, uint64_t max_body) {
  RequestFrame frame;
  frame.header.reserve(header.size());
  int lengths = 0;
  bool unframed = false;
  bool first_line = true;
  while (!header.empty()) {
    const size_t newline = header.find('\n');
    const size_t size = newline == std::string_view::npos ? header.size() : newline + 1;
    const std::string_view line = header.substr(0, size);
    header.remove_prefix(size);
    const bool counts = !first_line && line.size() > 2 && line.ends_with("\r\n");
    first_line = false;
    const size_t colon = line.find(':');
    if (!counts || colon == std::string_view::npos) {
      frame.header.append(line);
      continue;
    }
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = Trim(line.substr(colon + 1, line.size() - colon - 3));
    if (EqualsIgnoringCase(name, "Expect")) {
      frame.expects_continue = frame.expects_continue || EqualsIgnoringCase(value, "100-continue");
      continue;
    }
    if (EqualsIgnoringCase(name, "Range")) {
      frame.ranges.emplace_back(value);
      continue;
    }
    if (EqualsIgnoringCase(name, "Transfer-Encoding")) unframed = true;
    if (EqualsIgnoringCase(name, "Content-Length")) {
      ++lengths;
      if (!ParseLength(value, &frame.body_length)) unframed = true;
    }
    frame.header.append(line);
  }
  if (unframed || lengths > 1) {
    frame.body = RequestFrame::Body::kUnframed;
    frame.body_length = 0;
  } else if (frame.body_length > max_body) {
    frame.body = RequestFrame::Body::kTooLarge;
  }
  return frame;
}

}  // namespace qv::server
