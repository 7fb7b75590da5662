// The handful of primitives a platform gives the serial layer. They follow
// the Windows serial communications services, which define the behaviour;
// other platforms reproduce that behaviour. The layer's algorithms are
// written once, over this table, in serial_port.cpp.
#ifndef DAVODEV_SERIAL_PLATFORM_H
#define DAVODEV_SERIAL_PLATFORM_H

#include <cstdint>

#include "serial/serial_port.h"

namespace kiv {

enum class DtrControl : uint8_t { Off, On, Handshake };
enum class RtsControl : uint8_t { Off, On, Handshake, Toggle };

// A port's line configuration as read from it and written back. The layer
// changes only the named fields; `native` carries the platform's own record
// so that everything else is written back exactly as it was read.
struct LineConfig {
    uint32_t baudRate;
    uint8_t dataBits;
    uint8_t parity;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t stopBits;  // 0 one, 1 one and a half, 2 two
    bool binary;
    bool parityCheck;
    bool outxCtsFlow;
    bool outxDsrFlow;
    bool dsrSensitivity;
    DtrControl dtr;
    RtsControl rts;
    bool outX;  // XON/XOFF on output
    bool inX;   // XON/XOFF on input
    bool errorReplace;
    bool discardNull;
    bool abortOnError;
    char errorChar;
    alignas(8) unsigned char native[64];
};

// Time-outs in milliseconds, with the meaning of the Windows COMMTIMEOUTS.
struct PortTimeouts {
    uint32_t readInterval;
    uint32_t readTotalMultiplier;
    uint32_t readTotalConstant;
    uint32_t writeTotalMultiplier;
    uint32_t writeTotalConstant;
};

// Every function returns true on success. `read` is one blocking read under
// the port's time-outs: it may return fewer bytes than asked, 0 included.
struct SerialPlatform {
    bool (*open)(const char* name, PortHandle* handle);  // existing device, read-write, exclusive
    bool (*close)(PortHandle handle);
    bool (*getState)(PortHandle handle, LineConfig* config);
    bool (*setState)(PortHandle handle, const LineConfig* config);
    bool (*getTimeouts)(PortHandle handle, PortTimeouts* timeouts);
    bool (*setTimeouts)(PortHandle handle, const PortTimeouts* timeouts);
    bool (*setupQueues)(PortHandle handle, uint32_t inQueue, uint32_t outQueue);
    bool (*clearError)(PortHandle handle, uint32_t* bytesWaiting);
    bool (*read)(PortHandle handle, void* buffer, uint32_t n, uint32_t* got);
    bool (*write)(PortHandle handle, const void* data, uint32_t n, uint32_t* written);
    bool (*setBreak)(PortHandle handle, bool on);
    void (*sleepMs)(uint32_t milliseconds);
};

// The platform this build runs on.
const SerialPlatform& NativeSerialPlatform();

// The platform the layer uses: the native one unless a test or fuzz target
// has put another in its place. Not for use while ports are open.
const SerialPlatform& CurrentSerialPlatform();
void UseSerialPlatform(const SerialPlatform* platform);  // nullptr: back to native

}  // namespace kiv

#endif  // DAVODEV_SERIAL_PLATFORM_H
