#include "sim/line_port.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>

#include "common/tty_line_posix.h"
#include "sim/posix_fd.h"

namespace plcsim {
namespace {

void MakeRaw(int fd, const kivhost::TtyLine& line, const std::string& path)
{
    if (!kivhost::SetRawLine(fd, line))
        throw SystemError("line settings of " + path);
}

}  // namespace

LineHandle OpenPseudoTerminal(const kivhost::TtyLine& line, std::string& path, LineHandle* keptSlave)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0)
        throw SystemError("posix_openpt");
    char name[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
        const auto error = SystemError("pseudo-terminal setup");
        close(master);
        throw error;
    }
    int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (slave < 0) {
        const auto error = SystemError(std::string("open ") + name);
        close(master);
        throw error;
    }
    try {
        MakeRaw(slave, line, name);
    } catch (...) {
        close(slave);
        close(master);
        throw;
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    if (keptSlave != nullptr) {
        *keptSlave = slave;
    } else {
        close(slave);
    }
    path = name;
    return master;
}

LineHandle OpenSerialDevice(const std::string& path, const kivhost::TtyLine& line)
{
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        throw SystemError("open " + path);
    try {
        MakeRaw(fd, line, path);
    } catch (...) {
        close(fd);
        throw;
    }
    tcflush(fd, TCIOFLUSH);
    return fd;
}

void CloseLineHandle(LineHandle& line)
{
    CloseFd(line);
}

bool SettableRate(uint32_t baud)
{
    return kivhost::NamedRate(baud);
}

}  // namespace plcsim
