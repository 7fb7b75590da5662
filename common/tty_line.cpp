#include "common/tty_line.h"

#include <string_view>

#include "common/line_settings.h"

namespace kivhost {

TtyLine TtyLineOf(uint32_t baud, const CharFormat& format)
{
    TtyLine line;
    line.baud = baud;
    line.dataBits = static_cast<uint16_t>(format.dataBits);
    line.parity = static_cast<uint16_t>(std::string_view(PARITY_LETTERS).find(format.parity));
    line.stopBits = format.stopBits < 1.25 ? 0 : format.stopBits < 1.75 ? 1 : 2;
    return line;
}

}  // namespace kivhost
