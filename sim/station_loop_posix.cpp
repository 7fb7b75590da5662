// Linux: the line is polled beside the stop's eventfd, so a stop ends any
// wait at once; reads and writes do not block.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "sim/station_loop.h"

namespace plcsim {
namespace {

// ppoll's timeout until deadline: none without one, zero once it is past.
const timespec* TimeoutUntil(std::optional<Clock::time_point> deadline, timespec& timeout)
{
    if (!deadline)
        return nullptr;
    const auto left = std::max(Clock::duration::zero(), *deadline - Clock::now());
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds);
    timeout = {static_cast<time_t>(seconds.count()), static_cast<long>(nanoseconds.count())};
    return &timeout;
}

}  // namespace

StationLoop::LineWait StationLoop::ReadLine(std::optional<Clock::time_point> due, char* buffer, size_t size,
                                            size_t* got)
{
    pollfd fds[2] = {{line_, POLLIN, 0}, {stop_.Wake(), POLLIN, 0}};
    timespec timeout{};
    const int ready = ppoll(fds, 2, TimeoutUntil(due, timeout), nullptr);
    if (ready < 0)
        return errno == EINTR ? LineWait::Quiet : LineWait::Failed;
    if (fds[1].revents != 0)
        return LineWait::Stop;
    if (ready == 0)
        return LineWait::Quiet;  // a reply's time has come
    if (fds[0].revents & POLLIN) {
        const ssize_t n = read(line_, buffer, size);
        if (n > 0) {
            *got = static_cast<size_t>(n);
            return LineWait::Bytes;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return LineWait::Quiet;
    }
    return LineWait::Failed;  // a hang-up, or a failing device
}

bool StationLoop::WriteSome(std::string_view bytes, size_t* written)
{
    const ssize_t n = write(line_, bytes.data(), bytes.size());
    if (n > 0) {
        *written = static_cast<size_t>(n);
        return true;
    }
    if (n < 0 && errno == EINTR)
        return true;
    if (n < 0 && errno != EAGAIN)
        return false;
    // The line's queue is full: wait for room, or a stop.
    pollfd fds[2] = {{line_, POLLOUT, 0}, {stop_.Wake(), POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 && errno != EINTR)
        return false;
    return fds[1].revents == 0;
}

}  // namespace plcsim
