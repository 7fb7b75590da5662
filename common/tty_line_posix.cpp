// The driver's translation does the work, so a tool's port is set up by the
// same rules as the driver's own: rates, mark and space, one and a half stop
// bits. Its header brings the kernel's termios2, so not <termios.h> here.
#include "common/tty_line_posix.h"

#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "serial/serial_posix_termios.h"

namespace kivhost {
namespace {

// The driver's configuration of the line, over what the terminal holds.
kiv::LineConfig ConfigOf(const TtyLine& line, const termios2& held)
{
    // Codes past a byte are as wrong as the driver's refusals; 0xFF keeps them so.
    const auto code = [](uint16_t value) { return static_cast<uint8_t>(std::min<uint16_t>(value, 0xFF)); };
    kiv::LineConfig config{};
    std::memcpy(config.native, &held, sizeof held);
    config.baudRate = line.baud;
    config.dataBits = code(line.dataBits);
    config.parity = code(line.parity);
    config.stopBits = code(line.stopBits);
    return config;
}

}  // namespace

bool SetRawLine(int fd, const TtyLine& line)
{
    termios2 held{};
    if (ioctl(fd, TCGETS2, &held) != 0)
        return false;
    termios2 raw{};
    if (!kiv::TermiosFromLineConfig(ConfigOf(line, held), &raw)) {
        errno = EINVAL;
        return false;
    }
    return ioctl(fd, TCSETS2, &raw) == 0;
}

bool NamedRate(uint32_t baud)
{
    // The driver's table names the rates termios has a code for; any other
    // it sets as BOTHER.
    TtyLine line;
    line.baud = baud;
    termios2 raw{};
    return kiv::TermiosFromLineConfig(ConfigOf(line, termios2{}), &raw) && (raw.c_cflag & CBAUD) != BOTHER;
}

}  // namespace kivhost
