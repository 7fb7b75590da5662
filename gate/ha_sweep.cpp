#include "gate/ha_sweep.h"

#include <utility>

namespace kivgate {

HaSweep::HaSweep(const std::vector<HaConfig>& current, std::string deviceId) : deviceId_(std::move(deviceId))
{
    for (const HaConfig& config : current)
        current_.insert(config.topic);
}

void HaSweep::Begin(Clock::time_point now)
{
    std::lock_guard<std::mutex> lock(mutex_);
    collecting_ = true;
    until_ = now + WINDOW;
    found_ = Done{};
}

void HaSweep::Offer(std::string_view topic, std::string_view payload, bool retained)
{
    // Only what the broker held: a live message is someone's new config,
    // and an empty one is a config already cleared.
    if (!retained || payload.empty() || current_.count(std::string(topic)) != 0 ||
        !HaConfigOfDevice(payload, deviceId_))
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!collecting_)
        return;
    if (found_.stale.size() >= MAX) {
        ++found_.over;
        return;
    }
    found_.stale.emplace_back(topic);
}

bool HaSweep::TakeDone(Clock::time_point now, Done* done)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!collecting_ || now < until_)
        return false;
    collecting_ = false;
    *done = std::exchange(found_, Done{});
    return true;
}

}  // namespace kivgate
