// The serial layer's behaviour, written once over the platform table. The
// backends only translate primitives; everything a caller can observe (the
// order of the open, what a time-out means, when a flush stops) is decided
// here.
#include "serial/serial_port.h"

#include <atomic>
#include <cstring>

#include "serial/serial_platform.h"

namespace kiv {

namespace {

std::atomic<const SerialPlatform*> installedPlatform{nullptr};

// Port time-outs are in milliseconds, the layer's interface in 10 ms units.
constexpr uint32_t MS_PER_UNIT = 10;
constexpr uint32_t OPEN_READ_TIMEOUT_MS = 1000;
constexpr uint32_t FLUSH_READ_TIMEOUT_MS = 50;
constexpr uint32_t FLUSH_CHUNK = 512;
constexpr uint32_t QUEUE_SIZE = 1200;
constexpr char ERROR_CHAR = static_cast<char>(0xFC);

uint32_t UnitsToMs(uint32_t units)
{
    const uint64_t ms = static_cast<uint64_t>(units) * MS_PER_UNIT;
    return ms > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ms);
}

DtrControl DecodeDtr(uint16_t lineFlags)
{
    if (lineFlags & 0x0101)
        return DtrControl::On;
    if (lineFlags & 0x8000)
        return DtrControl::Handshake;
    return DtrControl::Off;
}

RtsControl DecodeRts(uint16_t lineFlags)
{
    if (lineFlags & 0x0202)
        return RtsControl::On;
    if (lineFlags & 0x1000)
        return RtsControl::Handshake;
    if (lineFlags & 0x2000)
        return RtsControl::Toggle;
    return RtsControl::Off;
}

void ApplySettings(LineConfig& config, const PortSettings& settings, uint16_t lineFlags)
{
    config.baudRate = settings.baudRate;
    config.binary = true;
    config.parityCheck = true;
    config.outxCtsFlow = false;
    config.outxDsrFlow = false;
    config.dsrSensitivity = false;
    config.dtr = DecodeDtr(lineFlags);
    config.rts = DecodeRts(lineFlags);
    config.outX = false;
    config.inX = false;
    config.errorReplace = false;
    config.discardNull = false;
    config.abortOnError = false;
    config.dataBits = static_cast<uint8_t>(settings.dataBits & 0xFF);
    config.parity = static_cast<uint8_t>(settings.parity & 0xFF);
    config.stopBits = static_cast<uint8_t>(settings.stopBits & 0xFF);
    // Set although replacement stays off: a later change of that flag alone
    // then already has the intended character.
    config.errorChar = ERROR_CHAR;
}

// Sets the read total constant in milliseconds and reports the previous one
// apart from success, so a caller can put back exactly what was there, 0
// included. Nothing is written when the value is already in place.
bool SetReadTotalMs(const SerialPlatform& platform, PortHandle handle, uint32_t ms, uint32_t* previousMs)
{
    PortTimeouts timeouts{};
    if (!platform.getTimeouts(handle, &timeouts))
        return false;
    *previousMs = timeouts.readTotalConstant;
    if (timeouts.readTotalConstant == ms)
        return true;
    timeouts.readTotalConstant = ms;
    return platform.setTimeouts(handle, &timeouts);
}

// Opens and configures the port; on any failure nothing is left open.
PortStatus OpenAndConfigure(const SerialPlatform& platform, const char* name, const PortSettings& settings,
                            uint16_t lineFlags, PortHandle* handle)
{
    PortHandle port = NO_PORT;
    if (!platform.open(name, &port) || port == NO_PORT)
        return PORT_OPEN_FAILED;

    // The null device is a sink for trying the driver without a line: it has
    // no configuration to read or write.
    if (std::strcmp(name, "NUL") == 0) {
        *handle = port;
        return PORT_OK;
    }

    LineConfig config;
    std::memset(&config, 0, sizeof config);
    if (!platform.getState(port, &config)) {
        (void)platform.close(port);  // already failing; the open's status is what counts
        return PORT_GET_STATE_FAILED;
    }

    // A read returns when all asked bytes are in, or after one second with
    // what came; writes never time out.
    const PortTimeouts timeouts{0, 0, OPEN_READ_TIMEOUT_MS, 0, 0};
    if (!platform.setTimeouts(port, &timeouts)) {
        (void)platform.close(port);  // as above
        return PORT_OPEN_FAILED;
    }

    ApplySettings(config, settings, lineFlags);
    if (!platform.setState(port, &config)) {
        (void)platform.close(port);  // as above
        return PORT_SET_STATE_FAILED;
    }

    // The driver's frames fit the default queues too; a refusal changes nothing.
    (void)platform.setupQueues(port, QUEUE_SIZE, QUEUE_SIZE);

    *handle = port;
    return PORT_OK;
}

// ---------------------------------------------------------------------------
// The ports the layer holds
//
// A ChannelBlock belongs to the host, which may hand in one that was never
// zeroed or that still holds another channel's handle: a close must reach
// only a port this layer opened (on Windows any other value could be one of
// the host's own files). Every open is entered here with its owner. Fixed
// size and no lock: an entry's handle and state are one atomic word, so it
// is claimed, taken for a close and released by compare-and-swap.

enum EntryState : uint64_t { ENTRY_FREE, ENTRY_BUSY, ENTRY_OPEN };

struct HeldPort {
    std::atomic<uint64_t> word{0};  // handle << 32 | state; 0 is a free entry
    std::atomic<const void*> owner{nullptr};
};

constinit HeldPort heldPorts[OPEN_PORT_LIMIT];
static_assert(std::atomic<uint64_t>::is_always_lock_free, "held-port entries must not take a lock");

constexpr uint64_t EntryWord(PortHandle handle, EntryState state)
{
    return static_cast<uint64_t>(handle) << 32 | state;
}

// An entry for an open in progress, or nullptr when every one is taken.
HeldPort* ClaimEntry()
{
    for (HeldPort& entry : heldPorts) {
        uint64_t expected = EntryWord(NO_PORT, ENTRY_FREE);
        if (entry.word.compare_exchange_strong(expected, EntryWord(NO_PORT, ENTRY_BUSY), std::memory_order_acquire))
            return &entry;
    }
    return nullptr;
}

void ReleaseEntry(HeldPort& entry)
{
    entry.owner.store(nullptr, std::memory_order_relaxed);
    entry.word.store(EntryWord(NO_PORT, ENTRY_FREE), std::memory_order_release);
}

// The held entry of handle, now busy for the caller, or nullptr.
HeldPort* TakeEntry(PortHandle handle)
{
    if (handle == NO_PORT)
        return nullptr;
    for (HeldPort& entry : heldPorts) {
        uint64_t expected = EntryWord(handle, ENTRY_OPEN);
        if (entry.word.compare_exchange_strong(expected, EntryWord(handle, ENTRY_BUSY), std::memory_order_acquire))
            return &entry;
    }
    return nullptr;
}

void PublishEntry(HeldPort& entry, PortHandle handle, const void* owner)
{
    // The platform has just handed out this value, so no older entry still
    // holds a port by it: one that names it lost its port to a close outside
    // the layer, and goes.
    while (HeldPort* stale = TakeEntry(handle))
        ReleaseEntry(*stale);
    entry.owner.store(owner, std::memory_order_relaxed);
    entry.word.store(EntryWord(handle, ENTRY_OPEN), std::memory_order_release);
}

}  // namespace

const SerialPlatform& CurrentSerialPlatform()
{
    const SerialPlatform* platform = installedPlatform.load(std::memory_order_acquire);
    return platform ? *platform : NativeSerialPlatform();
}

void UseSerialPlatform(const SerialPlatform* platform)
{
    installedPlatform.store(platform, std::memory_order_release);
}

PortStatus PortOpen(const char* name, const PortSettings& settings, uint16_t lineFlags, PortHandle* handle,
                    const void* owner)
{
    *handle = NO_PORT;
    if (name == nullptr)
        return PORT_OPEN_FAILED;
    HeldPort* entry = ClaimEntry();
    if (entry == nullptr)
        return PORT_OPEN_FAILED;
    PortHandle port = NO_PORT;
    const PortStatus status = OpenAndConfigure(CurrentSerialPlatform(), name, settings, lineFlags, &port);
    if (status != PORT_OK) {
        ReleaseEntry(*entry);
        return status;
    }
    PublishEntry(*entry, port, owner);
    *handle = port;
    return PORT_OK;
}

PortStatus PortClose(PortHandle handle)
{
    HeldPort* entry = TakeEntry(handle);
    if (entry == nullptr)
        return PORT_IO_FAILED;
    const bool closed = CurrentSerialPlatform().close(handle);
    ReleaseEntry(*entry);
    return closed ? PORT_OK : PORT_IO_FAILED;
}

bool PortIsOpen(PortHandle handle)
{
    if (handle == NO_PORT)
        return false;
    for (const HeldPort& entry : heldPorts)
        if (entry.word.load(std::memory_order_acquire) == EntryWord(handle, ENTRY_OPEN))
            return true;
    return false;
}

bool PortOpenedBy(PortHandle handle, const void* owner)
{
    if (handle == NO_PORT || owner == nullptr)
        return false;
    for (const HeldPort& entry : heldPorts)
        if (entry.word.load(std::memory_order_acquire) == EntryWord(handle, ENTRY_OPEN) &&
            entry.owner.load(std::memory_order_relaxed) == owner)
            return true;
    return false;
}

uint32_t PortSetReadTimeout(PortHandle handle, uint32_t units)
{
    if (handle == NO_PORT)
        return 0;
    uint32_t previousMs = 0;
    if (!SetReadTotalMs(CurrentSerialPlatform(), handle, UnitsToMs(units), &previousMs))
        return 0;
    return previousMs / MS_PER_UNIT;
}

int PortFlushInput(PortHandle handle)
{
    if (handle == NO_PORT)
        return 1;
    const SerialPlatform& platform = CurrentSerialPlatform();

    uint32_t waiting = 0;
    bool lastOk = platform.clearError(handle, &waiting);
    if (lastOk && waiting == 0)
        return 0;

    // Drain in short reads: a full chunk means more may be queued, a short one
    // that the line has gone quiet for 50 ms.
    uint32_t previousMs = 0;
    const bool shortened = SetReadTotalMs(platform, handle, FLUSH_READ_TIMEOUT_MS, &previousMs);
    uint8_t scratch[FLUSH_CHUNK];
    uint32_t got = 0;
    do {
        got = 0;
        lastOk = platform.read(handle, scratch, FLUSH_CHUNK, &got);
    } while (lastOk && got == FLUSH_CHUNK);

    if (shortened) {
        uint32_t ignored = 0;
        // The flush is judged by its reads; a port that refuses its old
        // time-out back shows it on the next read.
        (void)SetReadTotalMs(platform, handle, previousMs, &ignored);
    }
    return lastOk ? 0 : 1;
}

uint32_t QuietGapMs(const PortSettings& settings)
{
    if (settings.baudRate == 0)
        return QUIET_GAP_MIN_MS;
    // Character length in half bits, so that one and a half stop bits stay exact.
    const uint32_t dataBits = settings.dataBits & 0xFF;
    const uint32_t parityBits = (settings.parity & 0xFF) != 0 ? 1 : 0;
    const uint32_t stopHalfBits = (settings.stopBits & 0xFF) == 1 ? 3 : (settings.stopBits & 0xFF) == 2 ? 4 : 2;
    const uint64_t halfBits = 2 * (1 + dataBits + parityBits) + stopHalfBits;
    // 3.5 characters of halfBits / 2 bits each are 7 * halfBits / 4 bit times.
    const uint64_t numerator = 7 * halfBits * 1000;
    const uint64_t denominator = 4 * static_cast<uint64_t>(settings.baudRate);
    const uint64_t ms = (numerator + denominator - 1) / denominator;
    return ms < QUIET_GAP_MIN_MS ? QUIET_GAP_MIN_MS : static_cast<uint32_t>(ms);
}

void PortAwaitQuiet(PortHandle handle, uint32_t gapMs)
{
    if (handle == NO_PORT)
        return;
    const SerialPlatform& platform = CurrentSerialPlatform();
    if (gapMs == 0)
        gapMs = QUIET_GAP_MIN_MS;
    uint32_t previousMs = 0;
    if (!SetReadTotalMs(platform, handle, gapMs, &previousMs))
        return;  // a port whose time-outs cannot be set fails the next attempt anyway
    // Each read lasts one gap unless it fills the scratch buffer first, so
    // counting gaps never waits longer than the port's own time-out.
    const uint32_t limitMs = previousMs != 0 ? previousMs : OPEN_READ_TIMEOUT_MS;
    uint8_t scratch[FLUSH_CHUNK];
    for (uint32_t spentMs = 0; spentMs < limitMs; spentMs += gapMs) {
        uint32_t got = 0;
        if (!platform.read(handle, scratch, FLUSH_CHUNK, &got) || got == 0)
            break;  // quiet for a whole gap, or a port that fails: either way nothing more to wait for
    }
    uint32_t ignored = 0;
    // As after a flush: a port that refuses its old time-out back shows it on the next read.
    (void)SetReadTotalMs(platform, handle, previousMs, &ignored);
}

PortStatus PortWrite(PortHandle handle, const uint8_t* data, uint32_t n, uint32_t* written)
{
    if (handle == NO_PORT)
        return PORT_IO_FAILED;
    uint32_t done = 0;
    if (!CurrentSerialPlatform().write(handle, data, n, &done))
        return PORT_IO_FAILED;
    if (written != nullptr)
        *written = done;
    return done < n ? PORT_SHORT_WRITE : PORT_OK;
}

PortStatus PortRead(PortHandle handle, uint8_t* buffer, uint32_t want, uint32_t* got)
{
    uint32_t scratchGot = 0;
    uint32_t& received = got != nullptr ? *got : scratchGot;
    received = 0;
    if (handle == NO_PORT)
        return PORT_IO_FAILED;
    // Nothing asked, nothing to wait for: an empty read would otherwise count
    // as a time-out with no byte.
    if (want == 0)
        return PORT_OK;

    const SerialPlatform& platform = CurrentSerialPlatform();
    uint32_t total = 0;
    // Each read waits a whole time-out: a reply that straddles one still
    // arrives complete, and silence ends the loop.
    while (total < want) {
        uint32_t n = 0;
        if (!platform.read(handle, buffer + total, want - total, &n) || n == 0)
            return PORT_IO_FAILED;
        total += n < want - total ? n : want - total;
        received = total;
    }
    return PORT_OK;
}

int PortSendBreak(uint32_t milliseconds, PortHandle handle)
{
    if (handle == NO_PORT)
        return 0;
    const SerialPlatform& platform = CurrentSerialPlatform();
    // Best effort by design: the caller has no use for a failed break.
    (void)platform.setBreak(handle, true);
    platform.sleepMs(milliseconds);
    (void)platform.setBreak(handle, false);
    return 0;
}

int PortDelay(uint32_t milliseconds)
{
    CurrentSerialPlatform().sleepMs(milliseconds);
    return 0;
}

uint16_t Crc16(const uint8_t* data, uint32_t n)
{
    uint16_t crc = 0xFFFF;
    for (uint32_t i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

}  // namespace kiv
