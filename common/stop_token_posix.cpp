#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

#include "common/stop_token.h"

namespace kivhost {

StopToken::StopToken() : wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (wake_ < 0)
        throw std::system_error(errno, std::generic_category(), "eventfd");
}

StopToken::~StopToken()
{
    close(wake_);
}

void StopToken::Reset()
{
    uint64_t drained;
    while (read(wake_, &drained, sizeof drained) > 0) {
    }
    requested_ = false;
    busy_ = false;
}

void StopToken::Request() noexcept
{
    requested_.store(true);
    // write(2) is safe in a handler. It cannot fail short of a counter near
    // 2^64; were it to, the waiters still see the flag within their deadline.
    const uint64_t one = 1;
    const ssize_t written = write(wake_, &one, sizeof one);
    (void)written;
}

bool StopToken::WaitUntil(Clock::time_point deadline) const
{
    while (!Requested()) {
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

}  // namespace kivhost
