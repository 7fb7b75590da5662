// A serial line as the tools set it for the driver: the port, its rate and
// character format in the driver's codes, and the time-out in the driver's
// 10 ms units; and how long characters take on such a line.
#ifndef DAVODEV_TOOLS_LINE_SETTINGS_H
#define DAVODEV_TOOLS_LINE_SETTINGS_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace kivhost {

// By the driver's parity code: 0 none, 1 odd, 2 even, 3 mark, 4 space.
constexpr const char* PARITY_LETTERS = "NOEMS";

struct LineOptions {
    std::string port;         // as the driver takes it: at most 11 characters
    std::string portGivenAs;  // as the user wrote it, for messages
    bool portGiven = false;
    uint16_t baud = 9600;
    uint16_t dataBits = 8;
    uint16_t stopBits = 0;        // driver codes: 0 one, 1 one and a half, 2 two
    uint16_t parity = 0;          // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint32_t timeoutUnits = 100;  // 10 ms units
    bool timeoutGiven = false;

    uint32_t TimeoutMs() const { return timeoutUnits * 10; }
    std::string FormatText() const;  // "8N1"
};

// Time the characters take on a line of these settings: start bit, data,
// parity and stop bits each.
double WireMs(size_t characters, const LineOptions& line);

}  // namespace kivhost

#endif  // DAVODEV_TOOLS_LINE_SETTINGS_H
