// Pieces of the Linux backend that stand on their own and are tested alone:
// how a port name becomes a device path, and the monotonic deadline that
// every wait of a read or write is measured against.
#ifndef DAVODEV_SERIAL_POSIX_H
#define DAVODEV_SERIAL_POSIX_H

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace kiv {

// "/abs/path" as given; "NUL" the null device; "COMn" (n >= 1, any case of
// COM) /dev/ttyS(n-1); anything else is looked for under /dev/. False when
// the name is empty or the path does not fit.
bool PosixDevicePath(const char* name, char* path, size_t size);

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

#endif  // DAVODEV_SERIAL_POSIX_H
