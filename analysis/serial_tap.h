// A port opened to listen only: kivhost monitor's side of a listening
// adapter on an RS-485 bus, or of plcsim's mirror. Nothing is ever written
// to it. A terminal device on Linux, a COM port on Windows.
#ifndef DAVODEV_KIVHOST_SERIAL_TAP_H
#define DAVODEV_KIVHOST_SERIAL_TAP_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "analysis/line_monitor.h"
#include "common/stop_token.h"
#include "common/tty_line.h"

namespace kivhost {

// The line's rate and character format, and the port to hear it on.
struct TapSettings : TtyLine {
    std::string port;  // named as for the driver: a path, COMn for /dev/ttyS(n-1), or a name under /dev
};

// The open port as the platform has it: a descriptor, or a HANDLE.
#if defined(_WIN32)
using TapHandle = void*;
#else
using TapHandle = int;
#endif

// The monotonic clock in microseconds.
uint64_t MonotonicUs();
// The wall clock in microseconds since 1970.
int64_t WallClockUs();

class SerialTap {
public:
    // nullptr, with the reason for people in error, when the port cannot be
    // opened or set to the line's format.
    static std::unique_ptr<SerialTap> Open(const TapSettings& settings, std::string* error);
    ~SerialTap();
    SerialTap(const SerialTap&) = delete;
    SerialTap& operator=(const SerialTap&) = delete;

    const std::string& Path() const { return path_; }
    TapHandle Native() const { return handle_; }

private:
    SerialTap(TapHandle handle, std::string path) : handle_(handle), path_(std::move(path)) {}
    TapHandle handle_;
    std::string path_;
};

enum class WatchEnd {
    Stopped,  // stop was set
    HungUp,   // the other side went away (a pseudo-terminal's master closed)
    Failed,   // reading failed
};

struct WatchOptions {
    uint64_t gapUs = 50000;  // as the monitor's: how soon a quiet frame is ended
    // Inside a long frame, how long to let bytes gather before reading
    // again, as a UART's FIFO does: a fast line then wakes the monitor once
    // for many bytes, not once a byte. The start and end of a request and
    // of a short reply, which the latency is taken from, are read as they
    // come; so is the first byte after a quiet line.
    uint64_t gatherUs = 1000;
    size_t gatherAfter = 32;  // bytes of a frame read one by one before gathering
};

// Reads the tap into the monitor until a stop is asked for (by a signal
// handler or another thread; the wait for the line ends at once), stamping bytes with microseconds since
// originUs. Does not call monitor.Finish. Why it hung up or failed goes to
// *why, when given.
WatchEnd WatchLine(SerialTap& tap, LineMonitor& monitor, const WatchOptions& options, uint64_t originUs,
                   const StopToken& stop, std::string* why = nullptr);

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_SERIAL_TAP_H
