#include "common/line_settings.h"

namespace kivhost {

std::string LineOptions::FormatText() const
{
    static constexpr const char* STOP[] = {"1", "1.5", "2"};
    return std::to_string(dataBits) + (parity < 5 ? PARITY_LETTERS[parity] : '?') +
           (stopBits < 3 ? STOP[stopBits] : "?");
}

double WireMs(size_t characters, const LineOptions& line)
{
    // Stop bit codes: 0 one, 1 one and a half, 2 two.
    const double stop = line.stopBits == 0 ? 1.0 : line.stopBits == 1 ? 1.5 : 2.0;
    const double bits = 1.0 + line.dataBits + (line.parity != 0 ? 1.0 : 0.0) + stop;
    return static_cast<double>(characters) * bits * 1000.0 / line.baud;
}

}  // namespace kivhost
