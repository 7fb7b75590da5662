// The serial port layer: open and configure a port, time it, drain stale
// input, write and read bytes, close it. It knows nothing of PLCs or frames
// and logs nothing; every failure is a status code.
#ifndef DAVODEV_SERIAL_PORT_H
#define DAVODEV_SERIAL_PORT_H

#include <cstdint>

#include "host_api/davodev.h"

namespace kiv {

// 0 is never a real port on any platform: a zero-filled ChannelBlock names none.
using PortHandle = uint32_t;
constexpr PortHandle NO_PORT = 0;

enum PortStatus : int32_t {
    PORT_OK = 0,
    PORT_OPEN_FAILED = 1,
    PORT_SHORT_WRITE = 2,
    PORT_GET_STATE_FAILED = 4,
    PORT_SET_STATE_FAILED = 5,
    PORT_IO_FAILED = 7,
};

// Opens the named device exclusively and configures it from settings and
// lineFlags; on any failure nothing is left open and *handle is NO_PORT.
// owner is what the port is opened for (a channel's ChannelBlock; nullptr
// for none); PortOpenedBy answers for it later. The layer holds at most
// OPEN_PORT_LIMIT ports at once; beyond that an open fails before the
// device is touched.
constexpr uint32_t OPEN_PORT_LIMIT = 64;
PortStatus PortOpen(const char* name, const PortSettings& settings, uint16_t lineFlags, PortHandle* handle,
                    const void* owner = nullptr);
// Closes a port this layer opened and still holds. Any other value (never
// opened here, closed already, or a host's own handle) is PORT_IO_FAILED and
// reaches no platform call. Whatever the close reports, the handle is no
// longer held afterwards: no platform leaves a port usable after a failed close.
PortStatus PortClose(PortHandle handle);
// True while the layer holds the port: opened here and not closed since.
bool PortIsOpen(PortHandle handle);
// True while the layer holds the port and opened it for owner (not nullptr).
bool PortOpenedBy(PortHandle handle, const void* owner);
// Sets the read total time-out to units x 10 ms; returns the previous one in
// units, or 0 on failure.
uint32_t PortSetReadTimeout(PortHandle handle, uint32_t units);
// Drains unread input; 0 when the last platform call succeeded, else 1.
int PortFlushInput(PortHandle handle);
// The silence that ends a frame on a line of these settings: 3.5 character
// times (start bit, data bits, parity, stop bits), rounded up to whole
// milliseconds and never below QUIET_GAP_MIN_MS.
constexpr uint32_t QUIET_GAP_MIN_MS = 2;
uint32_t QuietGapMs(const PortSettings& settings);
// Reads and discards input until the line has been quiet for gapMs, giving
// up after about one read time-out of the port in all (one second where
// reads have none). The flush drains only what is already queued; this also
// waits out what a station is still sending.
void PortAwaitQuiet(PortHandle handle, uint32_t gapMs);
PortStatus PortWrite(PortHandle handle, const uint8_t* data, uint32_t n, uint32_t* written);
PortStatus PortRead(PortHandle handle, uint8_t* buffer, uint32_t want, uint32_t* got);
int PortSendBreak(uint32_t milliseconds, PortHandle handle);
int PortDelay(uint32_t milliseconds);
// CRC-16/MODBUS: reflected polynomial 0xA001, initial 0xFFFF, no final inversion.
uint16_t Crc16(const uint8_t* data, uint32_t n);

}  // namespace kiv

#endif  // DAVODEV_SERIAL_PORT_H
