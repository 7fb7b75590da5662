#include "common/number_rules.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>

namespace kivhost {

namespace {

bool IsHexDigit(char c)
{
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

bool IsDigit(char c)
{
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

void Say(std::string* why, std::string text)
{
    if (why != nullptr)
        *why = std::move(text);
}

}  // namespace

std::optional<int64_t> ParseNumber(std::string_view text, int64_t low, int64_t high, std::string* why)
{
    const std::string given(text);
    int base = 10;
    std::string_view digits = text;
    if (digits.starts_with("0x") || digits.starts_with("0X")) {
        base = 16;
        digits.remove_prefix(2);
    }
    int64_t value = 0;
    const char* end = digits.data() + digits.size();
    const auto [stop, error] = std::from_chars(digits.data(), end, value, base);
    const bool allDigits = std::all_of(digits.begin(), digits.end(), base == 16 ? IsHexDigit : IsDigit);
    if (digits.empty() || !allDigits || stop != end) {
        if (base == 10 && !text.empty() && std::all_of(text.begin(), text.end(), IsHexDigit)) {
            Say(why, given + " is not a decimal number; hex needs 0x: 0x" + given);
        } else {
            Say(why, "\"" + given + "\" is not a number (decimal, or hex with 0x)");
        }
        return std::nullopt;
    }
    if (error != std::errc() || value < low || value > high) {
        Say(why, given + " is outside " + std::to_string(low) + " to " + std::to_string(high));
        return std::nullopt;
    }
    return value;
}

std::optional<int> ParseStation(std::string_view text, std::string* why, int first, int last)
{
    const std::string given(text);
    const bool addressForm = text.size() == 2 && IsHexDigit(text[0]) && IsHexDigit(text[1]);
    if (addressForm && !(IsDigit(text[0]) && IsDigit(text[1]))) {
        const int hex = std::stoi(given, nullptr, 16);
        Say(why, "ambiguous station " + given + ": write " + std::to_string(hex) + " or 0x" + given);
        return std::nullopt;
    }
    std::string reason;
    const auto number = ParseNumber(text, first, last, &reason);
    if (!number) {
        Say(why, "station " + reason);
        return std::nullopt;
    }
    return static_cast<int>(*number);
}

double CharFormat::BitsPerChar() const
{
    return 1 + dataBits + (parity == 'N' ? 0 : 1) + stopBits;
}

std::optional<char> ParseParity(std::string_view text)
{
    static constexpr std::array<std::string_view, 5> NAMES = {"none", "even", "odd", "mark", "space"};
    std::string lower(text);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (std::string_view name : NAMES) {
        if (lower == name || lower == name.substr(0, 1))
            return static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
    }
    return std::nullopt;
}

std::optional<CharFormat> ParseCharFormat(std::string_view text)
{
    if (text.size() < 3)
        return std::nullopt;
    CharFormat format;
    format.dataBits = text[0] - '0';
    const auto parity = ParseParity(text.substr(1, 1));
    const std::string_view stop = text.substr(2);
    if (format.dataBits < 5 || format.dataBits > 8 || !parity)
        return std::nullopt;
    format.parity = *parity;
    if (stop == "1") {
        format.stopBits = 1;
    } else if (stop == "1.5") {
        format.stopBits = 1.5;
    } else if (stop == "2") {
        format.stopBits = 2;
    } else {
        return std::nullopt;
    }
    return format;
}

}  // namespace kivhost
