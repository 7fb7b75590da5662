// A terminal made a raw serial line by the driver's own translation
// (termios2: any rate), for the ports the tools open themselves: the
// monitor's listening port and plcsim's line. Linux only.
#ifndef DAVODEV_TOOLS_TTY_LINE_POSIX_H
#define DAVODEV_TOOLS_TTY_LINE_POSIX_H

#include <cstdint>

#include "common/tty_line.h"

namespace kivhost {

// Makes fd a raw line of these settings: no echo, no translation, no
// signals, no flow control, bytes as they come; what else the terminal holds
// is kept. A pseudo-terminal carries 8 data bits and no parity whatever is
// asked. False with errno set: EINVAL for settings the driver refuses.
bool SetRawLine(int fd, const TtyLine& line);

// Whether termios has a name for the rate (B9600 and the like).
bool NamedRate(uint32_t baud);

}  // namespace kivhost

#endif  // DAVODEV_TOOLS_TTY_LINE_POSIX_H
