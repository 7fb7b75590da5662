// The pace of the commands that run cycle after cycle (poll, scan): cycles
// --interval apart from start to start, until --cycles are done (0: no end)
// or a stop is asked for (stop_signals). Once the port is lost (a
// PortKeeper), the next cycle waits until it is open again.
//
//   CycleLoop loop(options.intervalMs, options.cycles, &port);
//   while (loop.Next()) { ... cycle loop.Number() ... }
#ifndef DAVODEV_KIVHOST_CYCLE_LOOP_H
#define DAVODEV_KIVHOST_CYCLE_LOOP_H

#include <chrono>
#include <cstdint>

namespace kivhost {

class PortKeeper;

class CycleLoop {
public:
    CycleLoop(uint32_t intervalMs, uint32_t cycles, PortKeeper* port = nullptr);
    // Whether another cycle is to run, once it is time for it: false after
    // the last, or once a stop was asked for (at once, without the wait).
    bool Next();
    // The cycle under way, from 1.
    uint32_t Number() const { return number_; }

private:
    std::chrono::milliseconds interval_;
    uint32_t cycles_;
    uint32_t number_ = 0;
    std::chrono::steady_clock::time_point next_;
    PortKeeper* port_;
};

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_CYCLE_LOOP_H
