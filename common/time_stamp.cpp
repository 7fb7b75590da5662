#include "common/time_stamp.h"

#include <cstdio>
#include <ctime>

namespace kivhost {
namespace {

// The date and time of day, then the fraction of the second in `digits`
// digits (3 or 6), truncated as clocks are read.
std::string UtcText(int64_t unixUs, int digits)
{
    const auto seconds = static_cast<std::time_t>(unixUs / 1000000);
    std::tm parts{};
#if defined(_WIN32)
    const bool known = gmtime_s(&parts, &seconds) == 0;
#else
    const bool known = gmtime_r(&seconds, &parts) != nullptr;
#endif
    char date[40];
    if (!known || std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &parts) == 0)
        return "1970-01-01T00:00:00." + std::string(static_cast<size_t>(digits), '0') + "Z";
    long long fraction = unixUs % 1000000;
    for (int d = digits; d < 6; ++d)
        fraction /= 10;
    char text[64];
    std::snprintf(text, sizeof text, "%s.%0*lldZ", date, digits, fraction);
    return text;
}

int64_t UnixUs(std::chrono::system_clock::time_point time)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count();
}

}  // namespace

std::string UtcTimestamp()
{
    return UtcTimestamp(std::chrono::system_clock::now());
}

std::string UtcTimestamp(std::chrono::system_clock::time_point time)
{
    return UtcText(UnixUs(time), 3);
}

std::string UtcTimestampUs(int64_t unixUs)
{
    return UtcText(unixUs, 6);
}

std::string UtcClockTime(std::chrono::system_clock::time_point time)
{
    return UtcTimestamp(time).substr(11, 12);
}

}  // namespace kivhost
