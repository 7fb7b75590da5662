#include "gate/max_age.h"

#include <algorithm>
#include <vector>

namespace kivgate {
namespace {

// Enough cycles for the median to ride out a few slow ones, few enough to
// follow a line that changes pace.
constexpr size_t PERIODS_KEPT = 15;

}  // namespace

MaxAge::MaxAge(std::chrono::milliseconds fixed, std::chrono::milliseconds interval) : fixed_(fixed), interval_(interval)
{
}

void MaxAge::CycleBegins(SteadyTime start, bool lastHealthy)
{
    if (lastHealthy && lastStart_ != SteadyTime{}) {
        periods_.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(start - lastStart_));
        if (periods_.size() > PERIODS_KEPT)
            periods_.pop_front();
    }
    lastStart_ = start;
}

std::chrono::milliseconds MaxAge::Value() const
{
    if (fixed_.count() > 0)
        return fixed_;
    std::chrono::milliseconds period = interval_;
    if (!periods_.empty()) {
        std::vector<std::chrono::milliseconds> sorted(periods_.begin(), periods_.end());
        std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2), sorted.end());
        period = sorted[sorted.size() / 2];
    }
    return std::max(MAX_AGE_FLOOR, 3 * period);
}

}  // namespace kivgate
