// The configs of tags gone from the tag file, cleared at the next start:
// after connecting, the bridge subscribes for a moment to every config its
// node may have, collects those the broker retains that carry this
// gateway's device identifier and that it no longer publishes, then clears
// each with an empty retained message. Another gateway's configs carry
// another identifier and stay. Bounded: at most MAX are collected, and
// what comes after the window is not looked at.
#ifndef KIVGATE_HA_SWEEP_H
#define KIVGATE_HA_SWEEP_H

#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "gate/ha_discovery.h"

namespace kivgate {

class HaSweep {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr size_t MAX = 4096;
    // How long after the subscription the retained configs are taken: the
    // broker sends them at once, behind the subscription's answer.
    static constexpr std::chrono::milliseconds WINDOW{2000};

    HaSweep(const std::vector<HaConfig>& current, std::string deviceId);

    // A connection's collection starts; one under way is dropped.
    void Begin(Clock::time_point now);
    // A message on the filter, from libmosquitto's thread.
    void Offer(std::string_view topic, std::string_view payload, bool retained);

    struct Done {
        std::vector<std::string> stale;  // to clear
        size_t over = 0;                 // ours, past MAX, left for the next start
    };
    // Once the window is over, what it found, once; false before and after.
    bool TakeDone(Clock::time_point now, Done* done);

private:
    std::set<std::string> current_;  // set once, read by any thread
    const std::string deviceId_;
    std::mutex mutex_;
    bool collecting_ = false;
    Clock::time_point until_{};
    Done found_;
};

}  // namespace kivgate

#endif  // KIVGATE_HA_SWEEP_H
