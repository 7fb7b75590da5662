// Windows: the line is a COM port, opened by the tools' shared rules; there
// are no pseudo-terminals to serve instead.
#include "sim/line_port.h"

#include <stdexcept>

#include "common/com_port_win.h"

namespace plcsim {

LineHandle OpenPseudoTerminal(const kivhost::TtyLine&, std::string&, LineHandle*)
{
    throw std::runtime_error("a pseudo-terminal is a Linux line; serve a COM port on Windows");
}

LineHandle OpenSerialDevice(const std::string& path, const kivhost::TtyLine& line)
{
    std::string error;
    const HANDLE port = kivhost::OpenComPort(path, line, kivhost::ComAccess::ReadWrite, &error);
    if (port == INVALID_HANDLE_VALUE)
        throw std::runtime_error(error);
    return port;
}

void CloseLineHandle(LineHandle& line)
{
    if (line != NoLine())
        CloseHandle(line);
    line = NoLine();
}

bool SettableRate(uint32_t)
{
    return true;
}

}  // namespace plcsim
