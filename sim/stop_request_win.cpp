#include "sim/stop_request.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <system_error>

namespace plcsim {

StopRequest::StopRequest() : wake_(CreateEventA(nullptr, TRUE, FALSE, nullptr))
{
    if (wake_ == nullptr)
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), "CreateEvent");
}

StopRequest::~StopRequest()
{
    CloseHandle(wake_);
}

void StopRequest::Reset()
{
    ResetEvent(wake_);
    raised_ = false;
}

void StopRequest::Raise()
{
    raised_ = true;
    // A failure here would leave the thread waiting out its deadline, so it
    // is worth knowing about.
    if (!SetEvent(wake_))
        std::fprintf(stderr, "plcsim: wake: error %lu\n", GetLastError());
}

bool StopRequest::WaitUntil(Clock::time_point deadline) const
{
    while (!raised_) {
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

}  // namespace plcsim
