// plcsim's line and its mirror's: a pseudo-terminal or a serial device,
// non-blocking, made a raw line at the simulated rate and character format.
#ifndef DAVODEV_PLCSIM_LINE_PORT_H
#define DAVODEV_PLCSIM_LINE_PORT_H

#include <string>

#include "tty_line_posix.h"

namespace plcsim {

// A new pseudo-terminal: its master, non-blocking, and the slave's path.
// The slave is opened once to make it raw; with keptSlave that open is
// returned too, else it is closed again. Throws std::system_error.
int OpenPseudoTerminal(const kivhost::TtyLine& line, std::string& path, int* keptSlave);

// The device at path, its queues emptied. Throws std::system_error.
int OpenSerialDevice(const std::string& path, const kivhost::TtyLine& line);

}  // namespace plcsim

#endif  // DAVODEV_PLCSIM_LINE_PORT_H
