// A serial line's rate and character format as the tools' own ports take
// them (the monitor's listening port, plcsim's line), in the driver's codes.
#ifndef DAVODEV_TOOLS_TTY_LINE_H
#define DAVODEV_TOOLS_TTY_LINE_H

#include <cstdint>

#include "common/number_rules.h"

namespace kivhost {

struct TtyLine {
    uint32_t baud = 9600;
    uint16_t dataBits = 8;  // 5 to 8
    uint16_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint16_t stopBits = 0;  // 0 one, 1 one and a half (two to termios), 2 two
};

// A rate and a character format as the command lines read it.
TtyLine TtyLineOf(uint32_t baud, const CharFormat& format);

}  // namespace kivhost

#endif  // DAVODEV_TOOLS_TTY_LINE_H
