#include "command_line_rules.h"

#include <cstdio>

namespace kivhost {
namespace {

int DigitValue(char c, int base)
{
    int value = 99;
    if (c >= '0' && c <= '9')
        value = c - '0';
    else if (c >= 'A' && c <= 'F')
        value = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f')
        value = c - 'a' + 10;
    return value < base ? value : -1;
}

// All of text in one base, without overflow; nothing if any character is no digit.
std::optional<uint64_t> Digits(std::string_view text, int base)
{
    if (text.empty() || text.size() > 12)
        return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        const int digit = DigitValue(c, base);
        if (digit < 0)
            return std::nullopt;
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    }
    return value;
}

bool HasHexPrefix(std::string_view text)
{
    return text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

char Upper(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool InStationRange(uint64_t value)
{
    return value >= STATION_MIN && value <= STATION_MAX;
}

std::string Hex2(int value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%02X", static_cast<unsigned>(value) & 0xFF);
    return text;
}

}  // namespace

std::optional<uint32_t> ParseNumber(std::string_view text, uint32_t low, uint32_t high)
{
    const std::optional<uint64_t> value = HasHexPrefix(text) ? Digits(text.substr(2), 16) : Digits(text, 10);
    if (!value || *value < low || *value > high)
        return std::nullopt;
    return static_cast<uint32_t>(*value);
}

std::optional<int> ParseStation(std::string_view text, std::string* error)
{
    const std::string quoted = "station \"" + std::string(text) + "\"";
    const std::string range = " is not a station: stations are 1 to 32 (01 to 20 in an address)";
    std::optional<uint64_t> value;
    if (HasHexPrefix(text)) {
        value = Digits(text.substr(2), 16);
    } else {
        const std::optional<uint64_t> decimal = Digits(text, 10);
        // The address form is exactly two hex digits.
        const std::optional<uint64_t> address = text.size() == 2 ? Digits(text, 16) : std::nullopt;
        if (decimal && address && *decimal != *address && InStationRange(*decimal) && InStationRange(*address)) {
            const int d = static_cast<int>(*decimal);
            const int a = static_cast<int>(*address);
            *error = quoted + " is ambiguous: station " + std::to_string(d) + " as a number, station " + std::to_string(a) +
                     " in the address form; write 0x" + Hex2(d) + " for station " + std::to_string(d) + ", or 0x" + Hex2(a) +
                     " for station " + std::to_string(a);
            return std::nullopt;
        }
        value = decimal && InStationRange(*decimal) ? decimal : address ? address : decimal;
    }
    if (!value) {
        *error = quoted + " is not a number: write it in decimal (26), in hex with 0x (0x1A), or as in an address (1A)";
        return std::nullopt;
    }
    if (!InStationRange(*value)) {
        *error = quoted + range;
        return std::nullopt;
    }
    return static_cast<int>(*value);
}

std::string StationText(int station)
{
    return std::to_string(station) + " (" + Hex2(station) + ")";
}

std::optional<Parity> ParseParity(std::string_view text)
{
    static constexpr std::string_view NAMES[] = {"NONE", "ODD", "EVEN", "MARK", "SPACE"};
    std::string upper;
    for (char c : text)
        upper += Upper(c);
    for (size_t i = 0; i < std::size(NAMES); ++i)
        if (upper == NAMES[i] || (upper.size() == 1 && upper[0] == NAMES[i][0]))
            return static_cast<Parity>(i);
    return std::nullopt;
}

std::optional<StopBits> ParseStopBits(std::string_view text)
{
    if (text == "1")
        return StopBits::One;
    if (text == "1.5")
        return StopBits::OneAndHalf;
    if (text == "2")
        return StopBits::Two;
    return std::nullopt;
}

std::optional<LineFormat> ParseLineFormat(std::string_view text)
{
    if (text.size() < 3 || text[0] < '5' || text[0] > '8')
        return std::nullopt;
    const std::optional<Parity> parity = ParseParity(text.substr(1, 1));
    const std::optional<StopBits> stop = ParseStopBits(text.substr(2));
    if (!parity || !stop)
        return std::nullopt;
    return LineFormat{static_cast<uint16_t>(text[0] - '0'), *parity, *stop};
}

std::string LineFormatText(const LineFormat& format)
{
    static constexpr char PARITY[] = "NOEMS";
    static constexpr const char* STOP[] = {"1", "1.5", "2"};
    const auto parity = static_cast<size_t>(format.parity);
    const auto stop = static_cast<size_t>(format.stopBits);
    return std::to_string(format.dataBits) + (parity < 5 ? PARITY[parity] : '?') + (stop < 3 ? STOP[stop] : "?");
}

}  // namespace kivhost
