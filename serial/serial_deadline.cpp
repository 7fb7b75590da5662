#include "serial/serial_deadline.h"

namespace kiv {

Deadline Deadline::AfterMs(uint64_t milliseconds)
{
    // Time-outs multiplied by a byte count can exceed what the clock holds;
    // thirty years is as good as never.
    constexpr uint64_t LONGEST_MS = 1000000000000ull;
    Deadline d;
    d.never_ = false;
    d.at_ = std::chrono::steady_clock::now() +
            std::chrono::milliseconds(static_cast<int64_t>(milliseconds < LONGEST_MS ? milliseconds : LONGEST_MS));
    return d;
}

bool Deadline::Expired() const
{
    return !never_ && std::chrono::steady_clock::now() >= at_;
}

int Deadline::PollTimeoutMs() const
{
    if (never_)
        return -1;
    const auto left = at_ - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero())
        return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > INT32_MAX ? INT32_MAX : static_cast<int>(ms);
}

Deadline Deadline::Earlier(const Deadline& a, const Deadline& b)
{
    if (a.never_)
        return b;
    if (b.never_)
        return a;
    return a.at_ < b.at_ ? a : b;
}

}  // namespace kiv
