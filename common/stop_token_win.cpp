#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <system_error>

#include "common/stop_token.h"

namespace kivhost {

StopToken::StopToken() : wake_(CreateEventA(nullptr, TRUE, FALSE, nullptr))
{
    if (wake_ == nullptr)
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), "CreateEvent");
}

StopToken::~StopToken()
{
    CloseHandle(wake_);
}

void StopToken::Reset()
{
    ResetEvent(wake_);
    requested_ = false;
    busy_ = false;
}

// Windows runs its console handlers on a thread of their own, where setting
// an event is allowed. Were it to fail, the waiters still see the flag
// within their deadline.
void StopToken::Request() noexcept
{
    requested_.store(true);
    (void)SetEvent(wake_);
}

bool StopToken::WaitUntil(Clock::time_point deadline) const
{
    while (!Requested()) {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero())
            return true;
        // Rounded up: the wait never ends before the deadline.
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        const DWORD wait = static_cast<DWORD>(std::min<int64_t>(ms, INFINITE - 1));
        const DWORD woken = WaitForSingleObject(wake_, wait);
        if (woken == WAIT_OBJECT_0)
            return false;
        if (woken == WAIT_FAILED)
            Sleep(wait);  // the flag is still seen; never spin
    }
    return false;
}

}  // namespace kivhost
