// Wall-clock times as the tools print them: in UTC, ISO 8601, to the
// millisecond for results and logs, to the microsecond for line captures,
// and the time of day alone for tables.
#ifndef DAVODEV_TOOLS_TIME_STAMP_H
#define DAVODEV_TOOLS_TIME_STAMP_H

#include <chrono>
#include <cstdint>
#include <string>

namespace kivhost {

// Now, as ISO 8601 in UTC with milliseconds: "2024-05-01T12:34:56.789Z".
std::string UtcTimestamp();
// The same of a given time.
std::string UtcTimestamp(std::chrono::system_clock::time_point time);

// Microseconds since 1970 with microseconds: "2026-12-07T22:13:37.123456Z".
std::string UtcTimestampUs(int64_t unixUs);

// The time of day alone, in UTC as the logs: "22:13:37.123".
std::string UtcClockTime(std::chrono::system_clock::time_point time);

}  // namespace kivhost

#endif  // DAVODEV_TOOLS_TIME_STAMP_H
