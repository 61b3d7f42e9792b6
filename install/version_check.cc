// The installed version of a file and the comparison of version texts.
//
// A file's version comes from its version resource (the fixed file version,
// Major.Minor.Build.Revision) or, for files without one, from its side file
// (the path with ".ver" appended, written when such a file is installed).
// Version texts from either source, from the registry or from the install
// list are turned into one comparable number by VersionToNumber, so that
// "6.0.81.69", "6,0,81,69" and " 6, 0, 81, 69 " compare equal.
//
// Choices made where a text does not fit the scheme (none of them throws;
// every one gives "no version", which counts as 0):
//  - A side file that opens but holds no line (empty, or failing to read)
//    gives "". A carriage return or a line feed ends the first line; a first
//    line longer than 64 KiB is not a version and gives "".
//  - Numeric means an optional sign followed by decimal digits only: no
//    exponents, fractions, currency signs, hexadecimal prefixes or thousands
//    separators.
//  - A text without "." that is not numeric gives 0.
//  - Each version part that is used must lie in 0..65535, the range of a
//    version word; a negative part or one above 65535 makes the whole text
//    count as 0. A part of five digits keeps all of them and so widens the
//    number: 1.2.12345.6 counts as newer than 1.3.0.0.
//
// Runs on the control's thread, through the current platform.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "install/modInstall.h"
#include "platform/platform.h"

namespace qv {
namespace {

static_assert(std::endian::native == std::endian::little,
              "the fixed file information is copied as stored (little endian)");

constexpr size_t kFixedFileInfoSize = sizeof(FixedFileInfo);
constexpr uint32_t kMaxVersionPart = 65535;
constexpr size_t kMaxSideFileLine = 64 * 1024;
constexpr size_t kSideFileChunk = 256;

// ---- Reading the installed version ----------------------------------------

// The version from the version resource of the file at short_path; "" when
// the resource cannot be read or queried.
std::string VersionFromResource(Platform& platform, const std::string& short_path,
                                uint32_t size) {
  // The buffer holds one byte more than the reported size.
  std::vector<uint8_t> buffer(static_cast<size_t>(size) + 1, 0);
  if (!platform.versions->GetFileVersionInfo(short_path, size, buffer.data())) {
    return "";
  }
  const uint8_t* value = nullptr;
  uint32_t length = 0;
  if (!platform.versions->VerQueryValueRoot(buffer.data(), size, &value, &length)) {
    return "";
  }
  const uint8_t* begin = buffer.data();
  const uint8_t* end = begin + buffer.size();
  if (value == nullptr || value < begin || value >= end) return "";

  FixedFileInfo info;
  std::memcpy(&info, value, std::min<size_t>(kFixedFileInfoSize, static_cast<size_t>(end - value)));
  uint32_t major = 0, minor = 0, build = 0, revision = 0;
  SplitDWord(info.file_version_ms, &minor, &major);
  SplitDWord(info.file_version_ls, &revision, &build);
  return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(build) + "." +
         std::to_string(revision);
}

// The first line of the side file path & ".ver" with every space removed;
// "" when it cannot be opened or holds no line.
std::string VersionFromSideFile(Platform& platform, const std::string& path) {
  if (platform.files == nullptr) return "";
  std::unique_ptr<RandomAccessFile> file;
  if (!platform.files->NewRandomAccessFile(path + ".ver", &file).ok() || file == nullptr) {
    return "";
  }
  std::string line;
  bool ended = false;
  uint8_t chunk[kSideFileChunk];
  uint64_t offset = 0;
  while (!ended) {
    size_t got = 0;
    if (!file->Read(offset, sizeof(chunk), chunk, &got).ok()) return "";
    if (got == 0) break;
    for (size_t i = 0; i < got; ++i) {
      if (chunk[i] == '\r' || chunk[i] == '\n') {
        ended = true;
        break;
      }
      line.push_back(static_cast<char>(chunk[i]));
    }
    if (line.size() > kMaxSideFileLine) return "";
    offset += got;
  }
  file.reset();

  if (platform.codec != nullptr) line = platform.codec->FromAnsi(line);
  line.erase(std::remove(line.begin(), line.end(), ' '), line.end());
  return line;
}

// ---- Version numbers ------------------------------------------------------

// An optional sign followed by one or more decimal digits.
bool IsNumeric(std::string_view text) {
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) text.remove_prefix(1);
  if (text.empty()) return false;
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The value of a version part. Text that is not numeric (empty text among
// it) is 0. Returns false when the part is numeric but outside
// 0..kMaxVersionPart.
bool PartValue(std::string_view text, uint32_t* value) {
  *value = 0;
  if (!IsNumeric(text)) return true;
  bool negative = false;
  if (text[0] == '+' || text[0] == '-') {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  uint32_t n = 0;
  for (char c : text) {
    n = n * 10 + static_cast<uint32_t>(c - '0');
    if (n > kMaxVersionPart) return false;
  }
  if (negative && n != 0) return false;
  *value = n;
  return true;
}

// The 1-based position of the first "." at or after the 1-based position
// start; 0 when there is none.
size_t FindDot(const std::string& text, size_t start) {
  const size_t found = text.find('.', start - 1);
  return found == std::string::npos ? 0 : found + 1;
}

// The text from the 1-based position start, length characters long.
std::string_view Mid(const std::string& text, size_t start, size_t length) {
  return std::string_view(text).substr(start - 1, length);
}

// A numeric text (see IsNumeric) as a double; 0 when it does not fit.
double ToDouble(const std::string& text) {
  const double value = std::strtod(text.c_str(), nullptr);
  return std::isfinite(value) ? value : 0.0;
}

}  // namespace

std::string GetFileVersionString(const std::string& path) {
  Platform& platform = CurrentPlatform();
  uint32_t size = 0;
  std::string short_path;
  if (platform.versions != nullptr) {
    short_path = GetShortPath(path);
    size = platform.versions->GetFileVersionInfoSize(short_path);
  }
  // A file with a version resource is judged by it alone, even when a side
  // file lies beside it.
  if (size >= 1) return VersionFromResource(platform, short_path, size);
  return VersionFromSideFile(platform, path);
}

void SplitDWord(uint32_t value, uint32_t* low_word, uint32_t* high_word) {
  *low_word = value & 0xFFFFu;
  *high_word = value >> 16;
}

namespace {

// The number VersionToNumber reads from a version text with dots, as its
// decimal digits; false for a text without dots. A text with dots that is
// not a version gives "0".
bool DottedVersionDigits(const std::string& version, std::string* digits) {
  // Outer spaces go first; then commas count as dots and inner spaces go.
  *digits = "0";
  const size_t first = version.find_first_not_of(' ');
  if (first == std::string::npos) return false;
  std::string text = version.substr(first);
  text.erase(text.find_last_not_of(' ') + 1);
  std::replace(text.begin(), text.end(), ',', '.');
  text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
  if (text.find('.') == std::string::npos) return false;

  std::string all = text;
  all.erase(std::remove(all.begin(), all.end(), '.'), all.end());
  if (!IsNumeric(all)) return true;

  // Dot positions, 1-based. Without a second dot the third search starts
  // from the beginning and finds the first dot again, so that "1.2" reads
  // its second number as the fourth part.
  const size_t d1 = FindDot(text, 1);
  const size_t d2 = FindDot(text, d1 + 1);
  const size_t d3 = FindDot(text, d2 + 1);

  uint32_t p1 = 0, p2 = 0, p3 = 0, p4 = 0;
  if (!PartValue(Mid(text, 1, d1 - 1), &p1)) return true;
  if (d2 != 0 && !PartValue(Mid(text, d1 + 1, d2 - d1 - 1), &p2)) return true;
  if (d2 != 0 && d3 != 0 && !PartValue(Mid(text, d2 + 1, d3 - d2 - 1), &p3)) {
    return true;
  }
  if (d3 != 0 && !PartValue(Mid(text, d3 + 1, std::string::npos), &p4)) {
    return true;
  }

  // The first part takes at least two digits, the others at least four; a
  // wider part keeps all its digits.
  char number[32];
  std::snprintf(number, sizeof(number), "%02u%04u%04u%04u", p1, p2, p3, p4);
  *digits = number;
  return true;
}

// Compares two strings of decimal digits as whole numbers.
int CompareDigits(const std::string& a, const std::string& b) {
  const size_t a_start = std::min(a.find_first_not_of('0'), a.size());
  const size_t b_start = std::min(b.find_first_not_of('0'), b.size());
  const size_t a_length = a.size() - a_start;
  const size_t b_length = b.size() - b_start;
  if (a_length != b_length) return a_length < b_length ? -1 : 1;
  return a.compare(a_start, a_length, b, b_start, b_length);
}

}  // namespace

double VersionToNumber(const std::string& version) {
  std::string digits;
  if (DottedVersionDigits(version, &digits)) return ToDouble(digits);
  // Without dots: the text as a number, when it is one.
  const size_t first = version.find_first_not_of(' ');
  if (first == std::string::npos) return 0;
  std::string text = version.substr(first);
  text.erase(text.find_last_not_of(' ') + 1);
  std::replace(text.begin(), text.end(), ',', '.');
  text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
  return IsNumeric(text) ? ToDouble(text) : 0;
}

bool IsNewerVersion(const std::string& current_version, const std::string& new_version) {
  const double current = VersionToNumber(current_version);
  const double offered = VersionToNumber(new_version);
  if (offered != current) return offered > current;
  // A double holds 15 to 17 digits; versions with large parts have up to
  // 20, and two that differ only in the last part can make the same double.
  // Rounding keeps the order, so only such a tie needs the digits
  // themselves.
  std::string current_digits, offered_digits;
  if (DottedVersionDigits(current_version, &current_digits) &&
      DottedVersionDigits(new_version, &offered_digits)) {
    return CompareDigits(offered_digits, current_digits) > 0;
  }
  return false;
}

}  // namespace qv
