// The Linux backend's table of the ports it has open: a fixed number of
// slots, no lock. A handle names a slot and the generation of its use, so a
// handle kept after its close names no port, not even the one that reuses
// the slot.
#ifndef DAVODEV_SERIAL_POSIX_SLOTS_H
#define DAVODEV_SERIAL_POSIX_SLOTS_H

#include <cstdint>

#include "serial/serial_platform.h"

namespace kiv {

// One open port. Its fields belong to whoever holds the handle.
struct PosixPort {
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
    // The last look at the input found it empty (the drain check before a
    // request, or a read that took all there was): a read now would find
    // nothing, so the next one waits before it reads.
    bool inputSeenEmpty = false;
};

// Enters fd as a new port in a free slot, with its handle in *handle;
// false when every slot is taken.
bool ClaimPosixPort(int fd, bool tty, PortHandle* handle);

// The port an open handle names, or nullptr: never opened, closed since, or
// not a handle at all.
PosixPort* FindPosixPort(PortHandle handle);

// Takes the port an open handle names for its close: from here on no call
// finds it, and a second close of the same handle gets nullptr. The caller
// closes the descriptor, then frees the slot with ReleasePosixPort.
PosixPort* TakePosixPort(PortHandle handle);
void ReleasePosixPort(PortHandle handle);

}  // namespace kiv

#endif  // DAVODEV_SERIAL_POSIX_SLOTS_H
