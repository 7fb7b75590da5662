// Time for the measurements: the monotonic clock, and the processor time of
// the calling thread, user and system apart.
#ifndef DAVODEV_KIVBENCH_THREAD_TIMES_H
#define DAVODEV_KIVBENCH_THREAD_TIMES_H

#include <chrono>

namespace kivbench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// User and system time of the calling thread.
struct ThreadTimes {
    double user = 0;
    double system = 0;
    double Total() const { return user + system; }
};

ThreadTimes Now();
ThreadTimes operator-(const ThreadTimes& a, const ThreadTimes& b);
ThreadTimes& operator+=(ThreadTimes& a, const ThreadTimes& b);

}  // namespace kivbench

#endif  // DAVODEV_KIVBENCH_THREAD_TIMES_H
