// The pace of the commands that run cycle after cycle (poll, scan): cycles
// --interval apart from start to start, until --cycles are done (0: no end)
// or a stop is asked for (stop_signals). Once the port is lost (a
// PortKeeper), the next cycle waits until it is open again. A cycle that
// would have nothing to ask (every block set aside, no retry due) waits for
// the first one due instead: --interval 0 would otherwise spin.
//
//   CycleLoop loop(options.intervalMs, options.cycles, &port);
//   while (loop.Next(engine.NextDue(now))) { ... cycle loop.Number() ...; loop.WorkDone(); }
#ifndef DAVODEV_KIVHOST_CYCLE_LOOP_H
#define DAVODEV_KIVHOST_CYCLE_LOOP_H

#include <chrono>
#include <cstdint>
#include <string>

namespace kivhost {

// Cycles that take longer than --interval follow each other at once, less
// often than asked: "cycles take 1.4 s, more than --interval 500 ms", said
// once, and again only when their time has changed by a factor of two or
// more (a station set aside makes every retry cycle slow: one note).
class OverrunNote {
public:
    explicit OverrunNote(uint32_t intervalMs) : intervalMs_(intervalMs) {}
    // A cycle's working time: the note to say now, or "" for nothing new.
    std::string Add(double cycleMs);
    // The note for the last cycle while it overran, "" otherwise: for a
    // table redrawn each cycle.
    const std::string& Current() const { return current_; }

private:
    uint32_t intervalMs_;
    double saidMs_ = 0;  // 0 until said
    std::string current_;
};

class PortKeeper;
class StopToken;

class CycleLoop {
public:
    // stop ends the waits between cycles at once, and the loop.
    CycleLoop(uint32_t intervalMs, uint32_t cycles, const StopToken& stop, PortKeeper* port = nullptr);
    // Whether another cycle is to run, once it is time for it and not
    // before notBefore: false after the last, or once a stop was asked for
    // (at once, without the wait).
    bool Next(std::chrono::steady_clock::time_point notBefore = {});
    // The cycle under way, from 1.
    uint32_t Number() const { return number_; }
    // The cycle's work is done, before it is shown: what to say of cycles
    // overrunning --interval now, or "" (OverrunNote::Add).
    std::string WorkDone();
    const OverrunNote& Overrun() const { return overrun_; }

private:
    std::chrono::milliseconds interval_;
    uint32_t cycles_;
    uint32_t number_ = 0;
    std::chrono::steady_clock::time_point next_;
    std::chrono::steady_clock::time_point started_;  // the cycle under way
    OverrunNote overrun_;

    const StopToken& stop_;
    PortKeeper* port_;
};

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_CYCLE_LOOP_H
