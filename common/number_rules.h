// Numbers, stations and the line format as the command lines of plcsim and
// kivhost both read them, from this one implementation (kivhost.exe too):
// decimal, or hexadecimal after "0x". A station is also written in tag
// addresses as two hex digits ("0A" is 10); that form is refused where a
// letter shows it was meant as hex, so "10" and "0A" never mean different
// stations silently.
#ifndef DAVODEV_TOOLS_NUMBER_RULES_H
#define DAVODEV_TOOLS_NUMBER_RULES_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kivhost {

inline constexpr int FIRST_STATION = 1;
inline constexpr int LAST_STATION = 32;  // 0x20, the highest a tag address names

// "4660" or "0x1234", from low to high. On failure why says what is wrong,
// naming the text (and the 0x form when the text reads as hex).
std::optional<int64_t> ParseNumber(std::string_view text, int64_t low, int64_t high, std::string* why = nullptr);

// A station from first to last: "10" or "0x0A" is station 10; "0A" and
// "1F" are refused as ambiguous.
std::optional<int> ParseStation(std::string_view text, std::string* why = nullptr, int first = FIRST_STATION,
                                int last = LAST_STATION);

// A character on the line.
struct CharFormat {
    int dataBits = 8;
    char parity = 'N';           // N, E, O, M (mark) or S (space)
    double stopBits = 1;         // 1, 1.5 or 2
    double BitsPerChar() const;  // start + data + parity + stop
};
// "8N1", "7E2", "8N1.5" and the like.
std::optional<CharFormat> ParseCharFormat(std::string_view text);
// "none", "odd", "even", "mark", "space" or their first letters, any case.
std::optional<char> ParseParity(std::string_view text);

}  // namespace kivhost

#endif  // DAVODEV_TOOLS_NUMBER_RULES_H
