#include "cycle_loop.h"

#include "stop_signals.h"

namespace kivhost {

CycleLoop::CycleLoop(uint32_t intervalMs, uint32_t cycles)
    : interval_(intervalMs), cycles_(cycles), next_(std::chrono::steady_clock::now())
{
}

bool CycleLoop::Next()
{
    if (number_ > 0) {
        if (stopRequested != 0 || (cycles_ != 0 && number_ >= cycles_))
            return false;
        // Cycles start at a steady pace; a slow cycle is followed at once.
        next_ += interval_;
        SleepUntilOrStop(next_);
        if (std::chrono::steady_clock::now() > next_ + interval_)
            next_ = std::chrono::steady_clock::now();
    }
    if (stopRequested != 0)
        return false;
    ++number_;
    return true;
}

}  // namespace kivhost
