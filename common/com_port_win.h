// A COM port a tool opens itself on Windows (plcsim.exe's line, the
// monitor's listening port), named and set up by the driver's own rules:
// the device namespace for COM10 and above, its DCB translation.
#ifndef DAVODEV_TOOLS_COM_PORT_WIN_H
#define DAVODEV_TOOLS_COM_PORT_WIN_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>

#include "common/tty_line.h"

namespace kivhost {

enum class ComAccess { ReadOnly, ReadWrite };

// The port to this program alone, a raw line of these settings (no flow
// control, no character replaced), its queues emptied; DTR on, and RTS on
// unless it only listens. INVALID_HANDLE_VALUE,
// with the reason for people in *error, when it cannot be had.
HANDLE OpenComPort(const std::string& name, const TtyLine& line, ComAccess access, std::string* error);

// How long ReadArrived waits for a first byte: ms, 1 at least.
bool SetReadWait(HANDLE port, DWORD ms);

// The bytes already there, at once; else the first to come within the
// read wait; else none (*got 0). False when the port fails.
bool ReadArrived(HANDLE port, char* buffer, DWORD size, DWORD* got);

// A Windows error code as text, without the trailing line end.
std::string WindowsErrorText(DWORD code);

}  // namespace kivhost

#endif  // DAVODEV_TOOLS_COM_PORT_WIN_H
