#include "cycle_loop.h"

#include "port_keeper.h"
#include "stop_signals.h"

namespace kivhost {

CycleLoop::CycleLoop(uint32_t intervalMs, uint32_t cycles, PortKeeper* port)
    : interval_(intervalMs), cycles_(cycles), next_(std::chrono::steady_clock::now()), port_(port)
{
}

bool CycleLoop::Next()
{
    if (number_ > 0) {
        if (stopRequested != 0 || (cycles_ != 0 && number_ >= cycles_))
            return false;
        if (port_ != nullptr && port_->Lost()) {
            // The port's retries set the pace; a cycle follows its return at once.
            if (!port_->Ready())
                return false;
            next_ = std::chrono::steady_clock::now();
        } else {
            // Cycles start at a steady pace; a slow cycle is followed at once.
            next_ += interval_;
            SleepUntilOrStop(next_);
            if (std::chrono::steady_clock::now() > next_ + interval_)
                next_ = std::chrono::steady_clock::now();
        }
    }
    if (stopRequested != 0)
        return false;
    ++number_;
    return true;
}

}  // namespace kivhost
