// How the serving thread is told to stop: a flag, and an eventfd that wakes
// its polls and its waits at once.
#ifndef DAVODEV_PLCSIM_STOP_REQUEST_H
#define DAVODEV_PLCSIM_STOP_REQUEST_H

#include <atomic>
#include <chrono>

namespace plcsim {

using Clock = std::chrono::steady_clock;

class StopRequest {
public:
    StopRequest();  // throws std::system_error
    ~StopRequest();
    StopRequest(const StopRequest&) = delete;
    StopRequest& operator=(const StopRequest&) = delete;

    // Before a new serving thread: no stop asked for, no wake pending.
    void Reset();
    // Asks for a stop and wakes the thread.
    void Raise();
    bool Raised() const { return raised_; }
    // Readable once a stop is asked for: poll it beside the line.
    int Fd() const { return fd_; }
    // Sleeps until deadline; false when woken to stop.
    bool WaitUntil(Clock::time_point deadline) const;

private:
    int fd_ = -1;
    std::atomic<bool> raised_{false};
};

}  // namespace plcsim

#endif  // DAVODEV_PLCSIM_STOP_REQUEST_H
