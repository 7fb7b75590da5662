// The listening port on Linux: the line's format set as the driver sets it, poll and read.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "analysis/serial_tap.h"
#include "common/tty_line_posix.h"
#include "serial/serial_posix_name.h"

namespace kivhost {
namespace {

constexpr int IDLE_POLL_MS = 200;  // how often a quiet watch tells the monitor so

std::string OpenFailure(const std::string& path, int error)
{
    switch (error) {
    case ENOENT: return "no port " + path + ": check the name (a path, or a name under /dev such as ttyUSB1)";
    case EACCES:
    case EPERM: return "no permission to open " + path + ": on Linux, add yourself to the dialout group";
    case EBUSY:
        return path + " is held by another program that opened it alone; the monitor needs a port of its own (a "
                      "second adapter that only listens, or plcsim's --mirror)";
    default: return "cannot open " + path + ": " + std::strerror(error);
    }
}

}  // namespace

std::unique_ptr<SerialTap> SerialTap::Open(const TapSettings& settings, std::string* error)
{
    if (!NamedRate(settings.baud)) {
        *error = "the monitor's port takes the standard rates (9600, 19200, 38400, 57600, 115200, ...), not " +
                 std::to_string(settings.baud);
        return nullptr;
    }
    // The device the driver would open for this name.
    char device[4096];
    if (!kiv::PosixDevicePath(settings.port.c_str(), device, sizeof device)) {
        *error = "no port name given, or one too long: \"" + settings.port + "\"";
        return nullptr;
    }
    const std::string path = device;
    // Read only: the monitor never writes, whatever else goes wrong.
    const int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = OpenFailure(path, errno);
        return nullptr;
    }
    auto tap = std::unique_ptr<SerialTap>(new SerialTap(fd, path));
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode) || !isatty(fd)) {
        *error = path + " is not a serial port";
        return nullptr;
    }
    // No one else opens it while the monitor listens: two readers of one
    // port each take bytes from the other.
    if (ioctl(fd, TIOCEXCL) != 0) {
        *error = "cannot have " + path + " to itself: " + std::strerror(errno);
        return nullptr;
    }
    if (!SetRawLine(fd, settings)) {
        *error = "cannot set " + path + " to the line's format: " + std::strerror(errno);
        return nullptr;
    }
    // Opening raised RTS; an RS-485 converter whose direction follows it
    // would drive the bus. A pseudo-terminal has no such line: no matter.
    const int rts = TIOCM_RTS;
    (void)ioctl(fd, TIOCMBIC, &rts);
    return tap;
}

SerialTap::~SerialTap()
{
    (void)ioctl(handle_, TIOCNXCL);  // the port is closed next anyway
    close(handle_);
}

WatchEnd WatchLine(SerialTap& tap, LineMonitor& monitor, const WatchOptions& options, uint64_t originUs,
                   const StopToken& stop, std::string* why)
{
    const auto failed = [&](WatchEnd end) {
        if (why != nullptr)
            *why = end == WatchEnd::HungUp ? tap.Path() + " was closed at its other end"
                                           : "cannot read " + tap.Path() + ": " + std::strerror(errno);
        return end;
    };
    const int quietMs = static_cast<int>(std::min<uint64_t>(options.gapUs / 1000 + 1, IDLE_POLL_MS));
    const timespec gather{0, static_cast<long>(std::min<uint64_t>(options.gatherUs, 999999) * 1000)};
    char buffer[4096];
    size_t sinceCr = 0;  // bytes read since the last CR: how far into a frame the line is
    while (!stop.Requested()) {
        pollfd watched[2] = {{tap.Native(), POLLIN, 0}, {stop.Wake(), POLLIN, 0}};
        const int ready = poll(watched, 2, quietMs);
        if (ready < 0) {
            if (errno == EINTR)
                continue;  // the signal that sets stop, or another
            return failed(WatchEnd::Failed);
        }
        if (watched[0].revents == 0) {
            if (ready == 0)
                monitor.Idle(MonotonicUs() - originUs);
            continue;  // or the stop's wake: seen by the loop
        }
        const ssize_t got = read(tap.Native(), buffer, sizeof buffer);
        const uint64_t now = MonotonicUs() - originUs;
        if (got > 0) {
            const std::string_view bytes(buffer, static_cast<size_t>(got));
            monitor.Feed(bytes, now);
            const size_t cr = bytes.rfind(FRAME_END);
            sinceCr = cr == std::string_view::npos ? sinceCr + bytes.size() : bytes.size() - cr - 1;
            if (options.gatherUs > 0 && sinceCr >= options.gatherAfter)
                nanosleep(&gather, nullptr);
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        // A pseudo-terminal whose master closed reads EIO; a port that went away, 0.
        if (got == 0 || errno == EIO || (watched[0].revents & POLLHUP))
            return failed(WatchEnd::HungUp);
        return failed(WatchEnd::Failed);
    }
    // What had come before the stop is the line's too.
    const ssize_t got = read(tap.Native(), buffer, sizeof buffer);
    if (got > 0)
        monitor.Feed(std::string_view(buffer, static_cast<size_t>(got)), MonotonicUs() - originUs);
    return WatchEnd::Stopped;
}

}  // namespace kivhost
