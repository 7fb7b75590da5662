// How the serving thread is told to stop: a flag, and a wake that ends its
// waits at once (an eventfd it polls beside the line on Linux, an event on
// Windows, where its reads of the line are short instead).
#ifndef DAVODEV_PLCSIM_STOP_REQUEST_H
#define DAVODEV_PLCSIM_STOP_REQUEST_H

#include <atomic>
#include <chrono>

namespace plcsim {

using Clock = std::chrono::steady_clock;

#if defined(_WIN32)
using WakeHandle = void*;  // a manual-reset event, set while a stop is asked for
#else
using WakeHandle = int;  // an eventfd, readable while a stop is asked for
#endif

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
    // Signalled once a stop is asked for: wait on it beside the line.
    WakeHandle Wake() const { return wake_; }
    // Sleeps until deadline; false when woken to stop.
    bool WaitUntil(Clock::time_point deadline) const;

private:
    WakeHandle wake_;
    std::atomic<bool> raised_{false};
};

}  // namespace plcsim

#endif  // DAVODEV_PLCSIM_STOP_REQUEST_H
