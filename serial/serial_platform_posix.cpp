// Linux backend: termios devices made to behave like the Windows serial
// services the layer is written against. Time-outs, the exclusive open and
// the null device follow the Windows rules; the kernel does the rest. The
// port table, the names, the termios translation and the deadlines live in
// their own files; here are the primitives.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>

#include "serial/serial_deadline.h"
#include "serial/serial_platform.h"
#include "serial/serial_posix_name.h"
#include "serial/serial_posix_slots.h"
#include "serial/serial_posix_termios.h"
#include "serial/serial_read_plan.h"

namespace kiv {

namespace {

// The configuration calls exist only for terminals; on anything else (the
// null device above all) they fail, as they do on Windows.
PosixPort* FindTty(PortHandle handle)
{
    PosixPort* port = FindPosixPort(handle);
    return port != nullptr && port->tty ? port : nullptr;
}

bool IsNullDevice(const struct stat& st)
{
    return S_ISCHR(st.st_mode) && st.st_rdev == makedev(1, 3);
}

void Drain(int fd)
{
    while (ioctl(fd, TCSBRK, 1) != 0 && errno == EINTR) {
    }
}

// Waits for `events` on fd until the deadline. 1: ready, 0: deadline
// passed, -1: the device failed or went away.
int WaitFor(int fd, short events, const Deadline& deadline)
{
    for (;;) {
        pollfd p{fd, events, 0};
        const int rc = poll(&p, 1, deadline.PollTimeoutMs());
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (rc == 0)
            return 0;
        if (p.revents & events)
            return 1;  // data or room first: a hangup shows on the transfer itself
        return -1;     // POLLERR, POLLHUP or POLLNVAL alone
    }
}

bool PosixOpen(const char* name, PortHandle* handle)
{
    char path[256];
    if (!PosixDevicePath(name, path, sizeof path))
        return false;
    const int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;

    struct stat st {};
    if (fstat(fd, &st) != 0) {
        (void)close(fd);  // failing already; nothing was written through it
        return false;
    }
    // Exclusive like a Windows port opened without sharing. flock holds even
    // against root and against a second open in this process; the null
    // device, like Windows' NUL, can be opened any number of times.
    if (!IsNullDevice(st) && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        (void)close(fd);  // someone else's port: only our descriptor goes
        return false;
    }
    const bool tty = isatty(fd) != 0;
    if (tty)
        (void)ioctl(fd, TIOCEXCL);  // also keeps out openers that never flock; not all ttys allow it

    if (ClaimPosixPort(fd, tty, handle))
        return true;
    // Every slot taken.
    if (tty)
        (void)ioctl(fd, TIOCNXCL);  // undoes the TIOCEXCL above, which may have been refused itself
    (void)close(fd);                // never used: the open's failure is what counts
    return false;
}

bool PosixClose(PortHandle handle)
{
    PosixPort* port = TakePosixPort(handle);
    if (port == nullptr)
        return false;
    const int fd = port->fd;
    if (port->tty) {
        if (port->rs485)
            (void)SetRs485(fd, false);  // best effort: the next opener configures the mode it wants
        // The exclusive flag belongs to the terminal, not to this descriptor:
        // left set, it would lock out the next open while any other
        // descriptor on the device (a peer, a monitor) stays open.
        (void)ioctl(fd, TIOCNXCL);
    }
    // Linux releases the descriptor even when close reports EINTR.
    const bool closed = close(fd) == 0 || errno == EINTR;
    ReleasePosixPort(handle);
    return closed;
}

bool PosixGetState(PortHandle handle, LineConfig* config)
{
    PosixPort* port = FindTty(handle);
    if (port == nullptr)
        return false;
    termios2 t{};
    if (ioctl(port->fd, TCGETS2, &t) != 0)
        return false;
    // The kernel raises both lines on open; assume so where they cannot be read.
    int lines = TIOCM_DTR | TIOCM_RTS;
    (void)ioctl(port->fd, TIOCMGET, &lines);
    LineConfigFromTermios(t, lines, port->rs485 || port->softwareToggle, config);
    if (port->configured)
        ReadBackAsAsked(port->asked, config);
    return true;
}

bool PosixSetState(PortHandle handle, const LineConfig* config)
{
    PosixPort* port = FindTty(handle);
    if (port == nullptr)
        return false;
    termios2 t{};
    if (!TermiosFromLineConfig(*config, &t) || ioctl(port->fd, TCSETS2, &t) != 0)
        return false;

    // Linux has no DTR handshake: DTR stays raised, which tells the peer we
    // are ready, the nearest equivalent.
    SetModemLine(port->fd, TIOCM_DTR, config->dtr != DtrControl::Off);
    const bool toggle = config->rts == RtsControl::Toggle;
    if (port->rs485 && !toggle) {
        (void)SetRs485(port->fd, false);  // best effort: a device that keeps the mode still sends
        port->rs485 = false;
    }
    port->softwareToggle = false;
    if (toggle) {
        if (!port->rs485)
            port->rs485 = SetRs485(port->fd, true);
        port->softwareToggle = !port->rs485;
        if (port->softwareToggle)
            SetModemLine(port->fd, TIOCM_RTS, false);  // low while idle
    } else if (config->rts != RtsControl::Handshake) {
        SetModemLine(port->fd, TIOCM_RTS, config->rts == RtsControl::On);
    }

    port->asked = *config;
    port->configured = true;
    return true;
}

bool PosixGetTimeouts(PortHandle handle, PortTimeouts* timeouts)
{
    PosixPort* port = FindTty(handle);
    if (port == nullptr)
        return false;
    *timeouts = port->timeouts;
    return true;
}

bool PosixSetTimeouts(PortHandle handle, const PortTimeouts* timeouts)
{
    PosixPort* port = FindTty(handle);
    if (port == nullptr)
        return false;
    port->timeouts = *timeouts;
    return true;
}

bool PosixSetupQueues(PortHandle handle, uint32_t, uint32_t)
{
    // The kernel sizes its own buffers.
    return FindTty(handle) != nullptr;
}

bool PosixClearError(PortHandle handle, uint32_t* bytesWaiting)
{
    PosixPort* port = FindTty(handle);
    if (port == nullptr)
        return false;
    // One look answers both questions, input waiting and a hangup, so that
    // the usual case before a request, nothing waiting, costs one call; the
    // count is asked for only when there is input.
    pollfd p{port->fd, POLLIN, 0};
    if (poll(&p, 1, 0) < 0)
        p.revents = POLLIN;  // no answer: the count decides, as it would alone
    int waiting = 0;
    if ((p.revents & POLLIN) && ioctl(port->fd, FIONREAD, &waiting) != 0)
        return false;
    // A vanished device may still answer FIONREAD, with 0; its hangup shows here.
    if (waiting == 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)))
        return false;
    port->inputSeenEmpty = waiting == 0;
    *bytesWaiting = static_cast<uint32_t>(waiting);
    return true;
}

// One read under the port's time-outs (see serial_read_plan.h): return when
// n bytes are in, or with what came when the plan's time runs out.
bool PosixRead(PortHandle handle, void* buffer, uint32_t n, uint32_t* got)
{
    *got = 0;
    PosixPort* port = FindPosixPort(handle);
    if (port == nullptr)
        return false;
    if (n == 0)
        return true;

    const ReadPlan plan = PlanRead(port->timeouts, n);
    const Deadline total = plan.limited ? Deadline::AfterMs(plan.totalMs) : Deadline::Never();
    Deadline gap = Deadline::Never();

    auto* bytes = static_cast<uint8_t*>(buffer);
    uint32_t have = 0;
    // Reading where the input was just seen empty would only say so again:
    // wait first, then read.
    bool waitFirst = port->inputSeenEmpty;
    for (;;) {
        const Deadline until = Deadline::Earlier(total, gap);
        if (waitFirst && !until.Expired()) {
            if (WaitFor(port->fd, POLLIN, until) < 0) {
                *got = have;
                return have > 0;
            }
            // Ready or timed out: the read tells which, and an expired
            // deadline ends the loop after it without another wait.
        }
        const ssize_t r = read(port->fd, bytes + have, n - have);
        if (r > 0) {
            have += static_cast<uint32_t>(r);
            if (have == n || plan.endsOnFirstByte || total.Expired())
                break;
            if (plan.intervalMs != 0)
                gap = Deadline::AfterMs(plan.intervalMs);
            waitFirst = true;  // it took all there was
            continue;
        }
        if (r == 0) {
            // End of file: for the null device or a file, nothing more will
            // come; for a terminal it means the line has hung up.
            if (!port->tty)
                break;
            *got = have;
            return have > 0;  // keep what came; the next read reports the loss
        }
        if (errno == EINTR) {
            waitFirst = false;
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            *got = have;
            return have > 0;
        }
        if (Deadline::Earlier(total, gap).Expired())
            break;
        waitFirst = true;
    }
    // A read that got fewer than it asked for has emptied the input; one
    // that got all may have left more behind.
    port->inputSeenEmpty = port->tty && have < n;
    *got = have;
    return true;
}

// Blocks until every byte is written, or the write total time-out (if any)
// has run out.
bool PosixWrite(PortHandle handle, const void* data, uint32_t n, uint32_t* written)
{
    *written = 0;
    PosixPort* port = FindPosixPort(handle);
    if (port == nullptr)
        return false;
    if (n == 0)
        return true;

    const uint64_t ms =
        static_cast<uint64_t>(port->timeouts.writeTotalMultiplier) * n + port->timeouts.writeTotalConstant;
    const Deadline deadline = ms != 0 ? Deadline::AfterMs(ms) : Deadline::Never();
    if (port->softwareToggle)
        SetModemLine(port->fd, TIOCM_RTS, true);

    const auto* bytes = static_cast<const uint8_t*>(data);
    uint32_t done = 0;
    bool failed = false;
    while (done < n) {
        const ssize_t w = write(port->fd, bytes + done, n - done);
        if (w > 0) {
            done += static_cast<uint32_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const int ready = WaitFor(port->fd, POLLOUT, deadline);
            if (ready > 0)
                continue;
            failed = ready < 0;
            break;
        }
        failed = true;  // EIO and the like: the device is gone
        break;
    }

    if (port->softwareToggle) {
        // RTS must stay up until the last stop bit has left the wire.
        Drain(port->fd);
        SetModemLine(port->fd, TIOCM_RTS, false);
    }
    *written = done;
    return !(failed && done == 0);
}

bool PosixSetBreak(PortHandle handle, bool on)
{
    PosixPort* port = FindTty(handle);
    if (port == nullptr)
        return false;
    return ioctl(port->fd, on ? TIOCSBRK : TIOCCBRK) == 0;
}

void PosixSleepMs(uint32_t milliseconds)
{
    // A poll on no descriptors is a sleep; the deadline carries it across signals.
    const Deadline until = Deadline::AfterMs(milliseconds);
    while (!until.Expired())
        (void)poll(nullptr, 0, until.PollTimeoutMs());
}

constexpr SerialPlatform POSIX_PLATFORM = {
    PosixOpen,        PosixClose,      PosixGetState, PosixSetState, PosixGetTimeouts, PosixSetTimeouts,
    PosixSetupQueues, PosixClearError, PosixRead,     PosixWrite,    PosixSetBreak,    PosixSleepMs,
};

}  // namespace

const SerialPlatform& NativeSerialPlatform()
{
    return POSIX_PLATFORM;
}

}  // namespace kiv
