// The monitor's clocks, the same on every platform.
#include <chrono>

#include "analysis/serial_tap.h"

namespace kivhost {

uint64_t MonotonicUs()
{
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(since).count());
}

int64_t WallClockUs()
{
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::microseconds>(since).count());
}

}  // namespace kivhost
