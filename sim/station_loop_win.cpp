// Windows: a COM port has nothing to wait on beside the stop, so each read
// waits at most until the next reply is due, and never long, so that a stop
// is seen promptly; writes go out in pieces short on the line for the same
// reason.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>

#include "common/com_port_win.h"
#include "sim/station_loop.h"

namespace plcsim {
namespace {

// The longest a read waits, and about the longest a write takes on the line.
constexpr auto STOP_LATENCY = std::chrono::milliseconds(50);

}  // namespace

StationLoop::LineWait StationLoop::ReadLine(std::optional<Clock::time_point> due, char* buffer, size_t size,
                                            size_t* got)
{
    if (stop_.Requested())
        return LineWait::Stop;
    auto wait = std::chrono::duration_cast<Clock::duration>(STOP_LATENCY);
    if (due) {
        const auto left = *due - Clock::now();
        if (left <= Clock::duration::zero())
            return LineWait::Quiet;  // a reply's time has come
        wait = std::min(wait, left);
    }
    // Rounded up, so a reply is never sent before its time.
    const auto ms = static_cast<uint32_t>(std::chrono::ceil<std::chrono::milliseconds>(wait).count());
    if (ms != readWaitMs_) {
        if (!kivhost::SetReadWait(line_, ms))
            return LineWait::Failed;
        readWaitMs_ = ms;
    }
    DWORD n = 0;
    if (!kivhost::ReadArrived(line_, buffer, static_cast<DWORD>(size), &n)) {
        readWaitMs_ = 0;  // set it again once the port is back
        return LineWait::Failed;
    }
    *got = n;
    return n > 0 ? LineWait::Bytes : LineWait::Quiet;
}

bool StationLoop::WriteSome(std::string_view bytes, size_t* written)
{
    if (stop_.Requested())
        return false;
    // A write blocks until the port has taken it: as many characters as the
    // line carries in about the stop's latency, one at least.
    const auto perPiece = std::max<int64_t>(1, STOP_LATENCY / std::max(charTime_, std::chrono::nanoseconds(1)));
    const auto n = static_cast<DWORD>(std::min<int64_t>(static_cast<int64_t>(bytes.size()), perPiece));
    DWORD sent = 0;
    // A port that takes nothing would be tried again at once: a failure.
    if (!WriteFile(line_, bytes.data(), n, &sent, nullptr) || sent == 0)
        return false;
    *written = sent;
    return true;
}

}  // namespace plcsim
