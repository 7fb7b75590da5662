// Windows: Ctrl-C, Ctrl-Break and the console closing (or the session
// ending) each stop plcsim in order, the port closed before it exits.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>
#include <system_error>

#include "sim/plcsim_events.h"

namespace plcsim {
namespace {

HANDLE stopEvent = nullptr;         // manual reset: once asked, a stop stays asked
std::atomic<bool> stopping{false};  // the line is being closed in order

BOOL WINAPI OnConsoleEvent(DWORD event)
{
    const bool again = stopping.load();
    SetEvent(stopEvent);
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        if (again)
            ExitProcess(130);  // the second Ctrl-C: at once; Windows closes the port
        return TRUE;
    }
    // The console closing or the session ending: Windows ends the process as
    // soon as this returns, so it does not; main closes the line and returns,
    // and that ends the process (Windows gives it a few seconds).
    Sleep(INFINITE);
    return TRUE;
}

}  // namespace

void TakeEvents()
{
    stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (stopEvent == nullptr || !SetConsoleCtrlHandler(OnConsoleEvent, TRUE))
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), "taking Ctrl-C");
}

Event WaitForEvent()
{
    WaitForSingleObject(stopEvent, INFINITE);
    return Event::Stop;
}

void StoppingInOrder()
{
    stopping = true;
}

void AskToStop()
{
    SetEvent(stopEvent);
}

}  // namespace plcsim
