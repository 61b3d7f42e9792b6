// The calendar clock and its text, on the proleptic Gregorian calendar.
#include "platform/wall_clock.h"

#include <chrono>

namespace qv {
namespace {

// Days from 1970-01-01 to y-m-d (H. Hinnant's days_from_civil).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int64_t* y, int64_t* m, int64_t* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp + (mp < 10 ? 3 : -9);
  *y = yoe + era * 400 + (*m <= 2);
}

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

}  // namespace

int64_t UnixTimeNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string FormatUtcTime(int64_t unix_seconds) {
  const int64_t days = FloorDiv(unix_seconds, 86400);
  const int64_t second_of_day = unix_seconds - days * 86400;
  int64_t y = 0, m = 0, d = 0;
  CivilFromDays(days, &y, &m, &d);
  std::string text;
  auto digits = [&](int64_t value, int width, char after) {
    std::string number = std::to_string(value);
    if (number.size() < static_cast<size_t>(width)) number.insert(0, width - number.size(), '0');
    text += number;
    if (after != '\0') text += after;
  };
  digits(y, 4, '-');
  digits(m, 2, '-');
  digits(d, 2, 'T');
  digits(second_of_day / 3600, 2, ':');
  digits(second_of_day / 60 % 60, 2, ':');
  digits(second_of_day % 60, 2, 'Z');
  return text;
}

bool ParseUtcTime(const std::string& text, int64_t* unix_seconds) {
  // Exactly the digits and separators of "YYYY-MM-DDTHH:MM:SSZ".
  static constexpr char kShape[] = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != sizeof(kShape) - 1) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return false;
  }
  auto number = [&](size_t at, size_t length) {
    int64_t value = 0;
    for (size_t i = at; i < at + length; ++i) value = value * 10 + (text[i] - '0');
    return value;
  };
  const int64_t y = number(0, 4), m = number(5, 2), d = number(8, 2);
  const int64_t hh = number(11, 2), mm = number(14, 2), ss = number(17, 2);
  if (y < 1 || m < 1 || m > 12 || d < 1 || hh > 23 || mm > 59 || ss > 59) return false;
  const int64_t days = DaysFromCivil(y, m, d);
  int64_t cy = 0, cm = 0, cd = 0;
  CivilFromDays(days, &cy, &cm, &cd);
  if (cd != d || cm != m) return false;  // 31 April, 29 February of a common year
  *unix_seconds = days * 86400 + hh * 3600 + mm * 60 + ss;
  return true;
}

}  // namespace qv
