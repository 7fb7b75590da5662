// Linux backend: termios devices made to behave like the Windows serial
// services the layer is written against. Time-outs, the exclusive open and
// the null device follow the Windows rules; the kernel does the rest.
//
// The kernel's own termios2 (arbitrary speeds) is used throughout, so this
// file must not see the C library's <termios.h>.
#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "serial_platform.h"
#include "serial_posix.h"

namespace kiv {

// ---------------------------------------------------------------------------
// Time

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

namespace {

// ---------------------------------------------------------------------------
// The port table
//
// A handle is the slot's 1-based index in the low byte and the slot's
// generation above it, so a handle kept after its close does not name the
// port that reuses the slot. A slot's generation and state are one atomic
// word: it is claimed with a compare-and-swap (two threads opening ports at
// once never share one), and a close swaps only the word of its own
// generation, so a stale handle cannot close the port that reuses its slot
// even while that open is under way. The I/O path takes no lock at all.

constexpr uint32_t SLOT_COUNT = 64;
constexpr uint32_t INDEX_BITS = 8;
constexpr uint32_t INDEX_MASK = (1u << INDEX_BITS) - 1;
constexpr uint32_t GENERATION_MASK = 0xFFFFFFu;
constexpr uint32_t STATE_BITS = 2;
constexpr uint32_t STATE_MASK = (1u << STATE_BITS) - 1;
constexpr uint32_t MAXDWORD = 0xFFFFFFFFu;
static_assert(SLOT_COUNT <= INDEX_MASK, "slot index must fit the handle's low byte");
static_assert(sizeof(termios2) <= sizeof(LineConfig::native), "termios2 must fit the native blob");

enum SlotState : uint32_t { SLOT_FREE, SLOT_BUSY, SLOT_OPEN };

constexpr uint32_t SlotWord(uint32_t generation, SlotState state)
{
    return generation << STATE_BITS | state;
}

struct Slot {
    std::atomic<uint32_t> word{SlotWord(0, SLOT_FREE)};  // generation and state
    // The rest belongs to whoever holds the handle.
    int fd = -1;
    bool tty = false;
    PortTimeouts timeouts{};
    // What the last accepted configuration asked for: the device may not be
    // able to hold all of it (a pseudo-terminal is always 8N1, termios has
    // no one and a half stop bits and no Windows-only flags).
    bool configured = false;
    LineConfig asked{};
    bool rs485 = false;           // the kernel raises RTS while sending
    bool softwareToggle = false;  // no RS-485 mode: raise RTS around each write here
};

constinit Slot slots[SLOT_COUNT];

PortHandle MakeHandle(uint32_t index, uint32_t generation)
{
    return (generation << INDEX_BITS) | (index + 1);
}

// The slot a handle's index names, whatever its state, or nullptr.
Slot* SlotOf(PortHandle handle)
{
    const uint32_t index = handle & INDEX_MASK;
    if (index == 0 || index > SLOT_COUNT)
        return nullptr;
    return &slots[index - 1];
}

uint32_t OpenWord(PortHandle handle)
{
    return SlotWord(handle >> INDEX_BITS, SLOT_OPEN);
}

Slot* Lookup(PortHandle handle)
{
    Slot* slot = SlotOf(handle);
    if (slot == nullptr || slot->word.load(std::memory_order_acquire) != OpenWord(handle))
        return nullptr;
    return slot;
}

// The configuration calls exist only for terminals; on anything else (the
// null device above all) they fail, as they do on Windows.
Slot* LookupTty(PortHandle handle)
{
    Slot* slot = Lookup(handle);
    return slot != nullptr && slot->tty ? slot : nullptr;
}

bool IsNullDevice(const struct stat& st)
{
    return S_ISCHR(st.st_mode) && st.st_rdev == makedev(1, 3);
}

// ---------------------------------------------------------------------------
// Speeds, character format, modem lines

struct SpeedCode {
    tcflag_t code;
    uint32_t rate;
};

constexpr SpeedCode SPEEDS[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},         {B150, 150},
    {B200, 200},         {B300, 300},         {B600, 600},         {B1200, 1200},       {B1800, 1800},
    {B2400, 2400},       {B4800, 4800},       {B9600, 9600},       {B19200, 19200},     {B38400, 38400},
    {B57600, 57600},     {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000}, {B1500000, 1500000},
    {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000},
};

uint32_t RateOf(const termios2& t)
{
    const tcflag_t code = t.c_cflag & CBAUD;
    if (code == BOTHER)
        return t.c_ospeed;
    for (const SpeedCode& s : SPEEDS)
        if (s.code == code)
            return s.rate;
    return t.c_ospeed;
}

void SetRate(termios2& t, uint32_t rate)
{
    tcflag_t code = BOTHER;
    for (const SpeedCode& s : SPEEDS)
        if (s.rate == rate)
            code = s.code;
    // CIBAUD left 0: input runs at the output speed.
    t.c_cflag &= ~(CBAUD | CIBAUD);
    t.c_cflag |= code;
    t.c_ispeed = rate;
    t.c_ospeed = rate;
}

void SetModemLine(int fd, int line, bool on)
{
    // Devices without modem lines (pseudo-terminals, some adapters) refuse
    // these; the port works without them, so the refusal is not a failure.
    (void)ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line);
}

bool SetRs485(int fd, bool on)
{
    serial_rs485 rs485{};
    if (ioctl(fd, TIOCGRS485, &rs485) != 0)
        return false;
    if (on) {
        rs485.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        rs485.flags &= ~static_cast<uint32_t>(SER_RS485_RTS_AFTER_SEND);
    } else {
        rs485.flags &= ~static_cast<uint32_t>(SER_RS485_ENABLED);
    }
    return ioctl(fd, TIOCSRS485, &rs485) == 0;
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

// ---------------------------------------------------------------------------
// The primitives

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
        close(fd);
        return false;
    }
    // Exclusive like a Windows port opened without sharing. flock holds even
    // against root and against a second open in this process; the null
    // device, like Windows' NUL, can be opened any number of times.
    if (!IsNullDevice(st) && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return false;
    }
    const bool tty = isatty(fd) != 0;
    if (tty)
        (void)ioctl(fd, TIOCEXCL);  // also keeps out openers that never flock; not all ttys allow it

    for (uint32_t i = 0; i < SLOT_COUNT; ++i) {
        Slot& slot = slots[i];
        uint32_t expected = slot.word.load(std::memory_order_relaxed);
        if ((expected & STATE_MASK) != SLOT_FREE)
            continue;
        const uint32_t previous = expected >> STATE_BITS;
        if (!slot.word.compare_exchange_strong(expected, SlotWord(previous, SLOT_BUSY), std::memory_order_acquire))
            continue;
        slot.fd = fd;
        slot.tty = tty;
        slot.timeouts = PortTimeouts{};
        slot.configured = false;
        slot.rs485 = false;
        slot.softwareToggle = false;
        const uint32_t generation = (previous + 1) & GENERATION_MASK;
        slot.word.store(SlotWord(generation, SLOT_OPEN), std::memory_order_release);
        *handle = MakeHandle(i, generation);
        return true;
    }
    // Every slot taken.
    if (tty)
        (void)ioctl(fd, TIOCNXCL);
    close(fd);
    return false;
}

bool PosixClose(PortHandle handle)
{
    Slot* slot = SlotOf(handle);
    if (slot == nullptr)
        return false;
    const uint32_t generation = handle >> INDEX_BITS;
    uint32_t expected = SlotWord(generation, SLOT_OPEN);
    if (!slot->word.compare_exchange_strong(expected, SlotWord(generation, SLOT_BUSY), std::memory_order_acquire))
        return false;
    const int fd = slot->fd;
    if (slot->tty) {
        if (slot->rs485)
            (void)SetRs485(fd, false);
        // The exclusive flag belongs to the terminal, not to this descriptor:
        // left set, it would lock out the next open while any other
        // descriptor on the device (a peer, a monitor) stays open.
        (void)ioctl(fd, TIOCNXCL);
    }
    // Linux releases the descriptor even when close reports EINTR.
    const bool closed = close(fd) == 0 || errno == EINTR;
    slot->fd = -1;
    slot->word.store(SlotWord(generation, SLOT_FREE), std::memory_order_release);
    return closed;
}

bool PosixGetState(PortHandle handle, LineConfig* config)
{
    Slot* slot = LookupTty(handle);
    if (slot == nullptr)
        return false;
    termios2 t{};
    if (ioctl(slot->fd, TCGETS2, &t) != 0)
        return false;

    std::memset(config, 0, sizeof *config);
    std::memcpy(config->native, &t, sizeof t);
    config->baudRate = RateOf(t);
    switch (t.c_cflag & CSIZE) {
    case CS5: config->dataBits = 5; break;
    case CS6: config->dataBits = 6; break;
    case CS7: config->dataBits = 7; break;
    default: config->dataBits = 8; break;
    }
    if (!(t.c_cflag & PARENB))
        config->parity = 0;
    else if (t.c_cflag & CMSPAR)
        config->parity = (t.c_cflag & PARODD) ? 3 : 4;
    else
        config->parity = (t.c_cflag & PARODD) ? 1 : 2;
    config->stopBits = (t.c_cflag & CSTOPB) ? 2 : 0;
    config->binary = !(t.c_lflag & ICANON);
    config->parityCheck = (t.c_iflag & INPCK) != 0;
    config->outxCtsFlow = (t.c_cflag & CRTSCTS) != 0;
    config->outX = (t.c_iflag & IXON) != 0;
    config->inX = (t.c_iflag & IXOFF) != 0;

    // The kernel raises both lines on open; assume so where they cannot be read.
    int lines = TIOCM_DTR | TIOCM_RTS;
    (void)ioctl(slot->fd, TIOCMGET, &lines);
    config->dtr = (lines & TIOCM_DTR) ? DtrControl::On : DtrControl::Off;
    if (t.c_cflag & CRTSCTS)
        config->rts = RtsControl::Handshake;
    else if (slot->rs485 || slot->softwareToggle)
        config->rts = RtsControl::Toggle;
    else
        config->rts = (lines & TIOCM_RTS) ? RtsControl::On : RtsControl::Off;

    if (slot->configured) {
        const LineConfig& asked = slot->asked;
        config->dataBits = asked.dataBits;
        config->parity = asked.parity;
        if (asked.stopBits == 1 && config->stopBits == 2)
            config->stopBits = 1;
        config->binary = asked.binary;
        config->parityCheck = asked.parityCheck;
        config->outxCtsFlow = asked.outxCtsFlow;
        config->outxDsrFlow = asked.outxDsrFlow;
        config->dsrSensitivity = asked.dsrSensitivity;
        config->dtr = asked.dtr;
        config->rts = asked.rts;
        config->errorReplace = asked.errorReplace;
        config->discardNull = asked.discardNull;
        config->abortOnError = asked.abortOnError;
        config->errorChar = asked.errorChar;
    }
    return true;
}

bool PosixSetState(PortHandle handle, const LineConfig* config)
{
    Slot* slot = LookupTty(handle);
    if (slot == nullptr)
        return false;
    // What a Windows port refuses, this one refuses too.
    if (config->baudRate == 0 || config->dataBits < 5 || config->dataBits > 8 || config->parity > 4 ||
        config->stopBits > 2)
        return false;

    termios2 t{};
    std::memcpy(&t, config->native, sizeof t);

    // Raw: every byte passes unchanged in both directions.
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON |
                                        IXOFF | IXANY | IMAXBEL | IGNPAR | INPCK);
    // With parity checking a character that fails it reads as a 0 byte; the
    // frame's own checksum then rejects the reply.
    if (config->parityCheck && config->parity != 0)
        t.c_iflag |= INPCK;
    if (config->outX)
        t.c_iflag |= IXON;
    if (config->inX)
        t.c_iflag |= IXOFF;
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN | XCASE);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;

    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
    t.c_cflag |= CREAD | CLOCAL;
    static constexpr tcflag_t SIZES[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= SIZES[config->dataBits - 5];
    // termios knows one or two stop bits. One and a half becomes two, which
    // a 16550-type UART sends as one and a half with five data bits anyway.
    if (config->stopBits != 0)
        t.c_cflag |= CSTOPB;
    switch (config->parity) {
    case 1: t.c_cflag |= PARENB | PARODD; break;
    case 2: t.c_cflag |= PARENB; break;
    case 3: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case 4: t.c_cflag |= PARENB | CMSPAR; break;
    default: break;
    }
    if (config->rts == RtsControl::Handshake)
        t.c_cflag |= CRTSCTS;
    SetRate(t, config->baudRate);

    if (ioctl(slot->fd, TCSETS2, &t) != 0)
        return false;

    // Linux has no DTR handshake: DTR stays raised, which tells the peer we
    // are ready, the nearest equivalent.
    SetModemLine(slot->fd, TIOCM_DTR, config->dtr != DtrControl::Off);
    const bool toggle = config->rts == RtsControl::Toggle;
    if (slot->rs485 && !toggle) {
        (void)SetRs485(slot->fd, false);
        slot->rs485 = false;
    }
    slot->softwareToggle = false;
    if (toggle) {
        if (!slot->rs485)
            slot->rs485 = SetRs485(slot->fd, true);
        slot->softwareToggle = !slot->rs485;
        if (slot->softwareToggle)
            SetModemLine(slot->fd, TIOCM_RTS, false);  // low while idle
    } else if (config->rts != RtsControl::Handshake) {
        SetModemLine(slot->fd, TIOCM_RTS, config->rts == RtsControl::On);
    }

    slot->asked = *config;
    slot->configured = true;
    return true;
}

bool PosixGetTimeouts(PortHandle handle, PortTimeouts* timeouts)
{
    Slot* slot = LookupTty(handle);
    if (slot == nullptr)
        return false;
    *timeouts = slot->timeouts;
    return true;
}

bool PosixSetTimeouts(PortHandle handle, const PortTimeouts* timeouts)
{
    Slot* slot = LookupTty(handle);
    if (slot == nullptr)
        return false;
    slot->timeouts = *timeouts;
    return true;
}

bool PosixSetupQueues(PortHandle handle, uint32_t, uint32_t)
{
    // The kernel sizes its own buffers.
    return LookupTty(handle) != nullptr;
}

bool PosixClearError(PortHandle handle, uint32_t* bytesWaiting)
{
    Slot* slot = LookupTty(handle);
    if (slot == nullptr)
        return false;
    int waiting = 0;
    if (ioctl(slot->fd, FIONREAD, &waiting) != 0)
        return false;
    if (waiting == 0) {
        // A vanished device may still answer FIONREAD; its hangup shows here.
        pollfd p{slot->fd, POLLIN, 0};
        if (poll(&p, 1, 0) > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)))
            return false;
    }
    *bytesWaiting = static_cast<uint32_t>(waiting);
    return true;
}

// One read under the Windows time-out rules: return when n bytes are in, or
// when the total time-out (multiplier x n + constant; none if both are 0)
// or the gap allowed between two bytes has run out, with what came.
bool PosixRead(PortHandle handle, void* buffer, uint32_t n, uint32_t* got)
{
    *got = 0;
    Slot* slot = Lookup(handle);
    if (slot == nullptr)
        return false;
    if (n == 0)
        return true;

    const PortTimeouts& to = slot->timeouts;
    // Interval MAXDWORD with no total: return at once with what is there.
    const bool immediate = to.readInterval == MAXDWORD && to.readTotalMultiplier == 0 && to.readTotalConstant == 0;
    // Interval and multiplier MAXDWORD: return as soon as any byte is there.
    const bool firstByte = to.readInterval == MAXDWORD && to.readTotalMultiplier == MAXDWORD &&
                           to.readTotalConstant != 0 && to.readTotalConstant != MAXDWORD;
    Deadline total = Deadline::Never();
    if (immediate) {
        total = Deadline::AfterMs(0);
    } else if (firstByte) {
        total = Deadline::AfterMs(to.readTotalConstant);
    } else {
        const uint64_t ms = static_cast<uint64_t>(to.readTotalMultiplier) * n + to.readTotalConstant;
        if (ms != 0)
            total = Deadline::AfterMs(ms);
    }
    const uint32_t intervalMs = (to.readInterval != 0 && to.readInterval != MAXDWORD) ? to.readInterval : 0;
    Deadline gap = Deadline::Never();

    auto* bytes = static_cast<uint8_t*>(buffer);
    uint32_t have = 0;
    for (;;) {
        const ssize_t r = read(slot->fd, bytes + have, n - have);
        if (r > 0) {
            have += static_cast<uint32_t>(r);
            if (have == n || firstByte || total.Expired())
                break;
            if (intervalMs != 0)
                gap = Deadline::AfterMs(intervalMs);
            continue;
        }
        if (r == 0) {
            // End of file: for the null device or a file, nothing more will
            // come; for a terminal it means the line has hung up.
            if (!slot->tty)
                break;
            *got = have;
            return have > 0;  // keep what came; the next read reports the loss
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            *got = have;
            return have > 0;
        }
        const Deadline until = Deadline::Earlier(total, gap);
        if (until.Expired())
            break;
        const int ready = WaitFor(slot->fd, POLLIN, until);
        if (ready < 0) {
            *got = have;
            return have > 0;
        }
        // Ready or timed out: the next read tells which, and an expired
        // deadline ends the loop above without another wait.
    }
    *got = have;
    return true;
}

// Blocks until every byte is written, or the write total time-out (if any)
// has run out.
bool PosixWrite(PortHandle handle, const void* data, uint32_t n, uint32_t* written)
{
    *written = 0;
    Slot* slot = Lookup(handle);
    if (slot == nullptr)
        return false;
    if (n == 0)
        return true;

    const uint64_t ms =
        static_cast<uint64_t>(slot->timeouts.writeTotalMultiplier) * n + slot->timeouts.writeTotalConstant;
    const Deadline deadline = ms != 0 ? Deadline::AfterMs(ms) : Deadline::Never();
    if (slot->softwareToggle)
        SetModemLine(slot->fd, TIOCM_RTS, true);

    const auto* bytes = static_cast<const uint8_t*>(data);
    uint32_t done = 0;
    bool failed = false;
    while (done < n) {
        const ssize_t w = write(slot->fd, bytes + done, n - done);
        if (w > 0) {
            done += static_cast<uint32_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const int ready = WaitFor(slot->fd, POLLOUT, deadline);
            if (ready > 0)
                continue;
            failed = ready < 0;
            break;
        }
        failed = true;  // EIO and the like: the device is gone
        break;
    }

    if (slot->softwareToggle) {
        // RTS must stay up until the last stop bit has left the wire.
        Drain(slot->fd);
        SetModemLine(slot->fd, TIOCM_RTS, false);
    }
    *written = done;
    return !(failed && done == 0);
}

bool PosixSetBreak(PortHandle handle, bool on)
{
    Slot* slot = LookupTty(handle);
    if (slot == nullptr)
        return false;
    return ioctl(slot->fd, on ? TIOCSBRK : TIOCCBRK) == 0;
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
