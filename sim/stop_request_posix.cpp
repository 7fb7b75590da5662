#include "sim/stop_request.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdio>

#include "sim/posix_fd.h"

namespace plcsim {

StopRequest::StopRequest() : wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (wake_ < 0)
        throw SystemError("eventfd");
}

StopRequest::~StopRequest()
{
    CloseFd(wake_);
}

void StopRequest::Reset()
{
    uint64_t drained;
    while (read(wake_, &drained, sizeof drained) > 0) {
    }
    raised_ = false;
}

void StopRequest::Raise()
{
    raised_ = true;
    const uint64_t one = 1;
    if (write(wake_, &one, sizeof one) < 0) {
        // The counter is far from full; a failure here would leave the thread
        // waiting, so it is worth knowing about.
        std::perror("plcsim: wake");
    }
}

bool StopRequest::WaitUntil(Clock::time_point deadline) const
{
    while (!raised_) {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero())
            return true;
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
        const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds);
        const timespec timeout{static_cast<time_t>(seconds.count()), static_cast<long>(nanoseconds.count())};
        pollfd wake{wake_, POLLIN, 0};
        if (ppoll(&wake, 1, &timeout, nullptr) > 0)
            return false;
    }
    return false;
}

}  // namespace plcsim
