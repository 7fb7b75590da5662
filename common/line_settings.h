// A serial line as the tools set it for the driver: the port, its rate and
// character format in the driver's codes, and the time-out in the driver's
// 10 ms units; and how long characters take on such a line.
#ifndef DAVODEV_TOOLS_LINE_SETTINGS_H
#define DAVODEV_TOOLS_LINE_SETTINGS_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "common/number_rules.h"

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

// The character format as the tools' command lines give it: --format in
// one word, or --data-bits, --parity and --stop-bits, or both where they
// agree. An empty text was not given.
struct FormatGiven {
    std::string format;
    std::string dataBits;
    std::string parity;
    std::string stopBits;
};
// Why a format was refused: the option and the value given, and what to
// give instead; where the parts disagree with --format, disagrees is set
// and why is the whole sentence.
struct FormatRefusal {
    std::string option;
    std::string value;
    std::string why;
    bool disagrees = false;
};
// The format given (8N1 where nothing is), or none and why not.
std::optional<CharFormat> TakeCharFormat(const FormatGiven& given, FormatRefusal* refusal);

// Time the characters take on a line of these settings: start bit, data,
// parity and stop bits each.
double WireMs(size_t characters, const LineOptions& line);

}  // namespace kivhost

#endif  // DAVODEV_TOOLS_LINE_SETTINGS_H
