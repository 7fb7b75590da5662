// The rules kivhost and plcsim read their command lines by, so that the same
// text means the same in both: numbers, station numbers, the line format.
// Nothing here knows either program: plcsim can compile this file as it is.
//
// Numbers are decimal, or hexadecimal after 0x: 4660 and 0x1234 are one
// number. No sign, no spaces, nothing after the digits.
//
// A station is 1 to 32, written as a number (7, 26, 0x1A) or in the
// address's own form, two hex digits as in 01W0010 (07, 1A). Where the two
// readings of a text give two different stations, the text is refused: the
// two digits 10 to 20 are stations 10 to 20 as numbers but 16 to 32 in the
// address form (write 0x10 or 0x0A instead). Two digits from 21 to 32 can
// only be decimal: as hex they name no station.
//
// A line format is data bits, parity and stop bits in one word: 8N1, 7E1,
// 8N2, 8N1.5. Parity is N, O, E, M or S (none, odd, even, mark, space).
#ifndef DAVODEV_KIVHOST_COMMAND_LINE_RULES_H
#define DAVODEV_KIVHOST_COMMAND_LINE_RULES_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kivhost {

constexpr int STATION_MIN = 1;
constexpr int STATION_MAX = 32;

// A number from low to high, or nothing.
std::optional<uint32_t> ParseNumber(std::string_view text, uint32_t low, uint32_t high);

// A station number, or nothing with the reason in error (one line).
std::optional<int> ParseStation(std::string_view text, std::string* error);
// A station as people are shown it: its number and its address form, "10 (0A)".
std::string StationText(int station);

enum class Parity : uint16_t { None, Odd, Even, Mark, Space };  // the driver's codes 0 to 4
enum class StopBits : uint16_t { One, OneAndHalf, Two };         // the driver's codes 0 to 2

struct LineFormat {
    uint16_t dataBits = 8;
    Parity parity = Parity::None;
    StopBits stopBits = StopBits::One;
};

// "none", "odd", "even", "mark", "space" or their first letters, any case.
std::optional<Parity> ParseParity(std::string_view text);
// "1", "1.5" or "2".
std::optional<StopBits> ParseStopBits(std::string_view text);
// "8N1" and the like: data bits 5 to 8, a parity letter, stop bits; any case.
std::optional<LineFormat> ParseLineFormat(std::string_view text);
// The short form back: "8N1", "7E1", "8N1.5".
std::string LineFormatText(const LineFormat& format);

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_COMMAND_LINE_RULES_H
