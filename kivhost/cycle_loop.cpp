#include "kivhost/cycle_loop.h"

#include <algorithm>

#include "common/stop_token.h"
#include "common/tool_text.h"
#include "scan/port_keeper.h"

namespace kivhost {

CycleLoop::CycleLoop(uint32_t intervalMs, uint32_t cycles, const StopToken& stop, PortKeeper* port)
    : interval_(intervalMs),
      cycles_(cycles),
      next_(std::chrono::steady_clock::now()),
      overrun_(intervalMs),
      stop_(stop),
      port_(port)
{
}

bool CycleLoop::Next(std::chrono::steady_clock::time_point notBefore)
{
    if (number_ > 0) {
        if (stop_.Requested() || (cycles_ != 0 && number_ >= cycles_))
            return false;
        if (port_ != nullptr && port_->Lost()) {
            // The port's retries set the pace; a cycle follows its return at once.
            if (!port_->Ready(stop_))
                return false;
            stop_.WaitUntil(notBefore);
            next_ = std::chrono::steady_clock::now();
        } else {
            // Cycles start at a steady pace; a slow cycle is followed at once.
            next_ += interval_;
            stop_.WaitUntil(std::max(next_, notBefore));
            if (std::chrono::steady_clock::now() > next_ + interval_)
                next_ = std::chrono::steady_clock::now();
        }
    }
    if (stop_.Requested())
        return false;
    ++number_;
    started_ = std::chrono::steady_clock::now();
    return true;
}

std::string CycleLoop::WorkDone()
{
    return overrun_.Add(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started_).count());
}

std::string OverrunNote::Add(double cycleMs)
{
    if (intervalMs_ == 0 || cycleMs <= intervalMs_) {
        current_.clear();
        return "";
    }
    current_ = "cycles take " + (cycleMs < 1000 ? Printf("%.0f ms", cycleMs) : Printf("%.1f s", cycleMs / 1000)) +
               ", more than --interval " + std::to_string(intervalMs_) + " ms";
    if (saidMs_ > 0 && cycleMs < 2 * saidMs_ && 2 * cycleMs > saidMs_)
        return "";
    saidMs_ = cycleMs;
    return current_;
}

}  // namespace kivhost
