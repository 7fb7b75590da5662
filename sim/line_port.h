// plcsim's line and its mirror's: a serial device (a COM port on Windows)
// or, on Linux, a pseudo-terminal; made a raw line at the simulated rate and
// character format. On Linux the line does not block (the serving thread
// polls it); on Windows its reads wait as long as the thread asks.
#ifndef DAVODEV_PLCSIM_LINE_PORT_H
#define DAVODEV_PLCSIM_LINE_PORT_H

#include <cstdint>
#include <string>

#include "common/tty_line.h"

namespace plcsim {

#if defined(_WIN32)
using LineHandle = void*;  // a HANDLE
inline LineHandle NoLine()
{
    return reinterpret_cast<LineHandle>(static_cast<intptr_t>(-1));  // INVALID_HANDLE_VALUE
}
inline constexpr bool HAS_PSEUDO_TERMINALS = false;
#else
using LineHandle = int;  // a descriptor
inline LineHandle NoLine()
{
    return -1;
}
inline constexpr bool HAS_PSEUDO_TERMINALS = true;
#endif

// A new pseudo-terminal: its master, non-blocking, and the slave's path.
// The slave is opened once to make it raw; with keptSlave that open is
// returned too, else it is closed again. Throws std::system_error; on
// Windows, which has none, always std::runtime_error.
LineHandle OpenPseudoTerminal(const kivhost::TtyLine& line, std::string& path, LineHandle* keptSlave);

// The device at path (Windows: the COM port so named, COM10 and above
// included), its queues emptied. Throws std::runtime_error saying why.
LineHandle OpenSerialDevice(const std::string& path, const kivhost::TtyLine& line);

// Closes line if open and marks it closed.
void CloseLineHandle(LineHandle& line);

// Whether a line may be asked for the rate: on Linux the rates termios
// names; on Windows any, the port's driver judging it when it opens.
bool SettableRate(uint32_t baud);

}  // namespace plcsim

#endif  // DAVODEV_PLCSIM_LINE_PORT_H
