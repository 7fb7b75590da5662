// The Linux backend's translation between the layer's line configuration
// and a terminal's: termios2 (any speed), the modem lines, RS-485 mode.
//
// The kernel's own termios2 is used throughout, so no file that includes
// this one may see the C library's <termios.h>.
#ifndef DAVODEV_SERIAL_POSIX_TERMIOS_H
#define DAVODEV_SERIAL_POSIX_TERMIOS_H

#include <asm/termbits.h>

#include "serial/serial_platform.h"

namespace kiv {

// The configuration a terminal holds: t is kept whole in native, modemLines
// are the TIOCM_ bits as read, and rtsToggle says that RTS is raised around
// each write (the kernel's RS-485 mode or the backend's own).
void LineConfigFromTermios(const termios2& t, int modemLines, bool rtsToggle, LineConfig* config);

// What the device could not hold (see PosixPort::asked) read back as asked.
void ReadBackAsAsked(const LineConfig& asked, LineConfig* config);

// The termios2 to write: the one kept in config.native, raw, with the
// character format, speed and flow control of config. False for what a
// Windows port refuses.
bool TermiosFromLineConfig(const LineConfig& config, termios2* t);

// Raises or lowers one modem line; devices without them refuse, and work
// without them, so there is no result.
void SetModemLine(int fd, int line, bool on);

// Switches the kernel's RS-485 mode (RTS raised while sending); false where
// the device has none.
bool SetRs485(int fd, bool on);

}  // namespace kiv

#endif  // DAVODEV_SERIAL_POSIX_TERMIOS_H
