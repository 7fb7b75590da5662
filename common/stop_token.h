// One stop for a run, handed by reference to every loop that must end on
// it: the scan's cycles, the port keeper's waits, the monitor's tap,
// kivgate's line owner and reload watcher, plcsim's serving thread. A
// signal handler may ask for it: asking is a lock-free store and a write to
// a wake (an eventfd on Linux, an event on Windows), nothing more. Waiters
// sleep on the wake, or beside it when they also wait for a line, so a stop
// ends their waits at once and nobody spins.
//
// Ctrl-C, the same in kivhost, kivgate and plcsim: the first (or SIGTERM,
// or SIGHUP where it is no reload) asks the loop to stop and says what
// happens next; the loop finishes the exchange under way (plcsim: closes
// its line and removes its links) and ends as usual. A second one while
// that is still under way ends the program at once with status 130; the
// system closes the port. Out of an exchange the loop is about to stop
// anyway, and does.
#ifndef DAVODEV_COMMON_STOP_TOKEN_H
#define DAVODEV_COMMON_STOP_TOKEN_H

#include <atomic>
#include <chrono>

namespace kivhost {

#if defined(_WIN32)
using WakeHandle = void*;  // a manual-reset event, set while a stop is asked for
#else
using WakeHandle = int;  // an eventfd, readable while a stop is asked for
#endif

class StopToken {
public:
    using Clock = std::chrono::steady_clock;

    StopToken();  // throws std::system_error when no wake can be had
    ~StopToken();
    StopToken(const StopToken&) = delete;
    StopToken& operator=(const StopToken&) = delete;

    // Asks for a stop and wakes the waiters. Safe in a signal handler.
    void Request() noexcept;
    bool Requested() const noexcept { return requested_.load(); }
    // Before a new run: no stop asked for, no wake pending. Not from a handler.
    void Reset();
    // Readable (signalled) once a stop is asked for: wait on it beside a line.
    WakeHandle Wake() const { return wake_; }
    // Sleeps until deadline: true when it came, false on a stop (at once
    // when one was asked for already).
    bool WaitUntil(Clock::time_point deadline) const;

    // Set by the loop while an exchange (or plcsim's serving) is under way:
    // a second stop signal then ends the program at once.
    void SetBusy(bool busy) noexcept { busy_.store(busy); }
    bool Busy() const noexcept { return busy_.load(); }

private:
    // Read and written by signal handlers: they may not take a lock.
    static_assert(std::atomic<bool>::is_always_lock_free);
    std::atomic<bool> requested_{false};
    std::atomic<bool> busy_{false};
    WakeHandle wake_;
};

}  // namespace kivhost

#endif  // DAVODEV_COMMON_STOP_TOKEN_H
