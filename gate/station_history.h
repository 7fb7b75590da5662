// The last hour of each station for the status page's charts: a ring of
// one-minute buckets per station, fixed in size, so that memory does not
// grow with uptime. Written by the line's owner, read by the page.
#ifndef KIVGATE_STATION_HISTORY_H
#define KIVGATE_STATION_HISTORY_H

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

namespace kivgate {

class StationHistory {
public:
    static constexpr size_t MINUTES = 60;

    struct Minute {
        int64_t start = 0;  // Unix seconds of the minute's start; 0: no data
        uint32_t good = 0;
        uint32_t failed = 0;
        double latencySumMs = 0;  // of the good exchanges
        double latencyMaxMs = 0;
    };

    // Only these stations are kept; exchanges of others are left out.
    explicit StationHistory(const std::vector<int>& stations);

    void Record(int station, bool good, double ms, std::chrono::system_clock::time_point when);
    // The station's minutes of the hour before now, oldest first, those
    // without data left out.
    std::vector<Minute> LastHour(int station, std::chrono::system_clock::time_point now) const;

private:
    mutable std::mutex mutex_;
    std::map<int, std::array<Minute, MINUTES>> rings_;
};

}  // namespace kivgate

#endif  // KIVGATE_STATION_HISTORY_H
