// The calendar clock, for what expires at a time of day (a signed install
// list's validity): seconds since 1970-01-01 00:00:00 UTC, and that time as
// text in the form "2026-12-14T11:00:00Z".
#ifndef QV_PLATFORM_WALL_CLOCK_H_
#define QV_PLATFORM_WALL_CLOCK_H_

#include <cstdint>
#include <string>

namespace qv {

// The machine's clock now.
int64_t UnixTimeNow();

// "YYYY-MM-DDTHH:MM:SSZ" for a time from year 1 to 9999.
std::string FormatUtcTime(int64_t unix_seconds);
// The reverse; false for any other text or an impossible date or time.
bool ParseUtcTime(const std::string& text, int64_t* unix_seconds);

}  // namespace qv

#endif  // QV_PLATFORM_WALL_CLOCK_H_
