// Parsing a Range header value (bytes=range-spec, range-spec, ...).
#include "server/byte_ranges.h"

#include <algorithm>
#include <limits>
#include <optional>

namespace qv::server {

namespace {

constexpr uint64_t kHuge = std::numeric_limits<uint64_t>::max();

// One range-spec: "F-L", "F-" or "-N", with F, L, N runs of digits.
struct Spec {
  bool suffix = false;
  uint64_t first = 0;
  uint64_t last = kHuge;  // none given: to the end
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// A run of decimal digits; a value too large for 64 bits counts as the
// largest one, which lies past the end of any file.
std::optional<uint64_t> Number(std::string_view digits) {
  if (digits.empty()) return std::nullopt;
  uint64_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    value = value > (kHuge - digit) / 10 ? kHuge : value * 10 + digit;
  }
  return value;
}

std::optional<Spec> ParseSpec(std::string_view text) {
  const size_t dash = text.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  const std::string_view before = text.substr(0, dash), after = text.substr(dash + 1);
  Spec spec;
  if (before.empty()) {
    const auto length = Number(after);
    if (!length) return std::nullopt;
    spec.suffix = true;
    spec.last = *length;
    return spec;
  }
  const auto first = Number(before);
  if (!first) return std::nullopt;
  spec.first = *first;
  if (!after.empty()) {
    const auto last = Number(after);
    if (!last || *last < *first) return std::nullopt;
    spec.last = *last;
  }
  return spec;
}

bool Satisfiable(const Spec& spec, uint64_t size) {
  return spec.suffix ? spec.last > 0 : spec.first < size;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char x, char y) { return (x | 0x20) == (y | 0x20); });
}

}  // namespace

ByteRange EvaluateRange(std::string_view header, uint64_t size) {
  ByteRange whole;
  const size_t equals = header.find('=');
  if (equals == std::string_view::npos ||
      !EqualsIgnoringCase(Trim(header.substr(0, equals)), "bytes")) {
    return whole;
  }
  std::string_view rest = header.substr(equals + 1);
  int count = 0;
  std::optional<Spec> only;
  bool any_satisfiable = false;
  while (true) {
    const size_t comma = rest.find(',');
    const std::string_view item = Trim(rest.substr(0, comma));
    // Empty list elements are allowed and skipped; at least one range is not.
    if (!item.empty()) {
      const auto spec = ParseSpec(item);
      if (!spec) return whole;
      ++count;
      only = spec;
      any_satisfiable = any_satisfiable || Satisfiable(*spec, size);
    }
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  if (count == 0) return whole;
  if (!any_satisfiable) return {ByteRange::Kind::kUnsatisfiable, 0, 0};
  if (count > 1 || size == 0) return whole;
  ByteRange part{ByteRange::Kind::kPart, only->first, std::min(only->last, size - 1)};
  if (only->suffix) {
    part.first = size - std::min(only->last, size);
    part.last = size - 1;
  }
  return part;
}

}  // namespace qv::server
