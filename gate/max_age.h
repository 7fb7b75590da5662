// How old a good value may be and still be served good: three times the
// median period of the recent healthy cycles, and never under two seconds,
// so that one slow cycle does not turn every value stale; or a fixed age.
#ifndef KIVGATE_MAX_AGE_H
#define KIVGATE_MAX_AGE_H

#include <chrono>
#include <deque>

#include "gate/write_queue.h"

namespace kivgate {

constexpr std::chrono::milliseconds MAX_AGE_FLOOR{2000};

class MaxAge {
public:
    // fixed: the age, or 0 to follow the cycles; interval: between cycle
    // starts, for the age before a period is known.
    MaxAge(std::chrono::milliseconds fixed, std::chrono::milliseconds interval);

    // A cycle begins at start; the last one, begun at the last start, read
    // every block it asked and none failed (healthy).
    void CycleBegins(SteadyTime start, bool lastHealthy);
    std::chrono::milliseconds Value() const;

private:
    std::chrono::milliseconds fixed_;
    std::chrono::milliseconds interval_;
    std::deque<std::chrono::milliseconds> periods_;  // the recent healthy ones
    SteadyTime lastStart_{};
};

}  // namespace kivgate

#endif  // KIVGATE_MAX_AGE_H
