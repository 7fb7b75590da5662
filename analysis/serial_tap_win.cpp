// The listening port on Windows: a COM port opened read-only and to the
// monitor alone, its format set as the driver sets it; reads that return
// with the first bytes to arrive.
#include "analysis/serial_tap.h"
#include "common/com_port_win.h"

#include <algorithm>

namespace kivhost {
namespace {

constexpr DWORD IDLE_READ_MS = 200;  // how often a quiet watch looks at its stop, and tells the monitor

// The errors a COM port gives once its adapter has gone.
bool GoneAway(DWORD code)
{
    switch (code) {
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_GEN_FAILURE:
    case ERROR_OPERATION_ABORTED:
    case ERROR_INVALID_HANDLE:
    case ERROR_BROKEN_PIPE: return true;
    default: return false;
    }
}

}  // namespace

std::unique_ptr<SerialTap> SerialTap::Open(const TapSettings& settings, std::string* error)
{
    HANDLE port = OpenComPort(settings.port, settings, ComAccess::ReadOnly, error);
    if (port == INVALID_HANDLE_VALUE)
        return nullptr;
    return std::unique_ptr<SerialTap>(new SerialTap(port, settings.port));
}

SerialTap::~SerialTap()
{
    CloseHandle(handle_);
}

WatchEnd WatchLine(SerialTap& tap, LineMonitor& monitor, const WatchOptions& options, uint64_t originUs,
                   const StopToken& stop, std::string* why)
{
    const auto failed = [&](DWORD code) {
        const WatchEnd end = GoneAway(code) ? WatchEnd::HungUp : WatchEnd::Failed;
        if (why != nullptr)
            *why = end == WatchEnd::HungUp ? tap.Path() + " went away (" + WindowsErrorText(code) +
                                                 "): was its adapter pulled, or the line's other end closed?"
                                           : "cannot read " + tap.Path() + ": " + WindowsErrorText(code);
        return end;
    };
    const DWORD quietMs = static_cast<DWORD>(std::min<uint64_t>(options.gapUs / 1000 + 1, IDLE_READ_MS));
    if (!SetReadWait(tap.Native(), quietMs))
        return failed(GetLastError());
    // Windows sleeps in milliseconds: a gather shorter than one is none.
    const DWORD gatherMs = static_cast<DWORD>(options.gatherUs / 1000);
    char buffer[4096];
    size_t sinceCr = 0;  // bytes read since the last CR: how far into a frame the line is
    while (!stop.Requested()) {
        DWORD got = 0;
        if (!ReadArrived(tap.Native(), buffer, sizeof buffer, &got))
            return failed(GetLastError());
        const uint64_t now = MonotonicUs() - originUs;
        if (got == 0) {
            monitor.Idle(now);
            continue;
        }
        const std::string_view bytes(buffer, got);
        monitor.Feed(bytes, now);
        const size_t cr = bytes.rfind(FRAME_END);
        sinceCr = cr == std::string_view::npos ? sinceCr + bytes.size() : bytes.size() - cr - 1;
        if (gatherMs > 0 && sinceCr >= options.gatherAfter)
            Sleep(gatherMs);
    }
    // What had come before the stop is the line's too: read without waiting.
    COMMTIMEOUTS now{};
    now.ReadIntervalTimeout = MAXDWORD;
    DWORD got = 0;
    if (SetCommTimeouts(tap.Native(), &now) && ReadFile(tap.Native(), buffer, sizeof buffer, &got, nullptr) && got > 0)
        monitor.Feed(std::string_view(buffer, got), MonotonicUs() - originUs);
    return WatchEnd::Stopped;
}

}  // namespace kivhost
