#include "gate/station_history.h"

#include <algorithm>

namespace kivgate {
namespace {

int64_t MinuteOf(std::chrono::system_clock::time_point when)
{
    const int64_t seconds = std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch()).count();
    return seconds - (seconds % 60 + 60) % 60;
}

}  // namespace

StationHistory::StationHistory(const std::vector<int>& stations)
{
    for (int station : stations)
        rings_[station] = {};
}

void StationHistory::Record(int station, bool good, double ms, std::chrono::system_clock::time_point when)
{
    std::lock_guard lock(mutex_);
    const auto ring = rings_.find(station);
    if (ring == rings_.end())
        return;
    const int64_t start = MinuteOf(when);
    Minute& minute = ring->second[static_cast<size_t>(start / 60) % MINUTES];
    if (minute.start != start)
        minute = Minute{start};
    if (good) {
        ++minute.good;
        minute.latencySumMs += ms;
        minute.latencyMaxMs = std::max(minute.latencyMaxMs, ms);
    } else {
        ++minute.failed;
    }
}

std::vector<StationHistory::Minute> StationHistory::LastHour(int station,
                                                             std::chrono::system_clock::time_point now) const
{
    std::vector<Minute> minutes;
    std::lock_guard lock(mutex_);
    const auto ring = rings_.find(station);
    if (ring == rings_.end())
        return minutes;
    const int64_t latest = MinuteOf(now);
    for (const Minute& minute : ring->second)
        if (minute.start != 0 && minute.start > latest - static_cast<int64_t>(MINUTES) * 60 && minute.start <= latest)
            minutes.push_back(minute);
    std::sort(minutes.begin(), minutes.end(), [](const Minute& a, const Minute& b) { return a.start < b.start; });
    return minutes;
}

}  // namespace kivgate
