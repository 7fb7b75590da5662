#include "common/tag_text.h"

#include <cctype>

#include "common/number_rules.h"

namespace kivhost {
namespace {

constexpr size_t ADDRESS_MAX = 8;  // the driver reads no more of a tag text

}  // namespace

ValueKind GuessValueKind(std::string_view address)
{
    if (address.size() < 3)
        return ValueKind::Word;
    const char operand = static_cast<char>(std::toupper(static_cast<unsigned char>(address[2])));
    if (operand == 'A' || operand == 'B' || operand == 'E')
        return ValueKind::Bit;
    return HasBitDigit(address) ? ValueKind::Bit : ValueKind::Word;
}

bool HasBitDigit(std::string_view address)
{
    // The parser reads a seventh-position space, or nothing, as no bit.
    return address.size() >= 8 && address[7] != ' ';
}

uint32_t DefaultTagType(std::string_view address)
{
    return GuessValueKind(address) == ValueKind::Bit ? TAG_TYPE_BIT : TAG_TYPE_WORD;
}

std::string AddressTextProblem(std::string_view address)
{
    const std::string text(address);
    if (address.size() > ADDRESS_MAX)
        return "\"" + text +
               "\" is not an address: it has at most 8 characters (station, operand, four hex digits, and a bit "
               "digit for a bit of a W word), e.g. 01W0010 or 01W00105; the driver would read only \"" +
               text.substr(0, ADDRESS_MAX) + "\"";
    const char operand =
        address.size() > 2 ? static_cast<char>(std::toupper(static_cast<unsigned char>(address[2]))) : 0;
    if (HasBitDigit(address) && (operand == 'B' || operand == 'A' || operand == 'E'))
        return "\"" + text + "\": a bit digit goes on a W word only; " + operand +
               " names a bit already and the driver would ignore the \"" + text.substr(7) + "\": write " +
               text.substr(0, 7);
    return {};
}

std::optional<uint16_t> ParseValue(std::string_view text, ValueKind kind)
{
    const auto value = ParseNumber(text, 0, kind == ValueKind::Bit ? 1 : 0xFFFF);
    if (!value)
        return std::nullopt;
    return static_cast<uint16_t>(*value);
}

std::string WriteValuesProblem(const DriverAddress& address, const std::string& text,
                               const std::vector<std::string>& valueTexts, const std::vector<uint16_t>& values)
{
    const bool bit = address.operand != 'W' || address.bit != NO_BIT;
    if (!bit)
        return {};
    for (size_t i = 0; i < values.size(); ++i)
        if (values[i] > 1)
            return "bad value \"" + (i < valueTexts.size() ? valueTexts[i] : std::to_string(values[i])) + "\" for " +
                   text + ": a bit is 0 or 1";
    return {};
}

}  // namespace kivhost
