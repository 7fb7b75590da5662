// A point on the monotonic clock that a wait is measured against. Every
// wait of the Linux backend (a read's total and interval time-outs, a
// write's, a sleep) ends at one, so that a signal or a short wake-up never
// lengthens or shortens it.
#ifndef DAVODEV_SERIAL_DEADLINE_H
#define DAVODEV_SERIAL_DEADLINE_H

#include <chrono>
#include <cstdint>

namespace kiv {

// A point on the monotonic clock, or none at all (waits forever).
class Deadline {
public:
    static Deadline Never() { return Deadline(); }
    static Deadline AfterMs(uint64_t milliseconds);

    bool IsNever() const { return never_; }
    bool Expired() const;
    // For poll(): -1 when never, else the time left in milliseconds rounded
    // up, so a wait never ends before the deadline and then spins.
    int PollTimeoutMs() const;
    // The earlier of two deadlines.
    static Deadline Earlier(const Deadline& a, const Deadline& b);

private:
    Deadline() = default;
    bool never_ = true;
    std::chrono::steady_clock::time_point at_{};
};

}  // namespace kiv

#endif  // DAVODEV_SERIAL_DEADLINE_H
