#include "gate/value_format.h"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <limits>

namespace kivgate {
namespace {

struct FormatInfo {
    WordFormat format;
    const char* name;
    int words;
    bool lowFirst;
    double rawMin, rawMax;  // integers; a float's are its finite range
};

constexpr double FLOAT_MAX = std::numeric_limits<float>::max();

constexpr std::array<FormatInfo, 8> FORMATS = {{
    {WordFormat::U16, "u16", 1, false, 0, 65535},
    {WordFormat::I16, "i16", 1, false, -32768, 32767},
    {WordFormat::U32, "u32", 2, false, 0, 4294967295.0},
    {WordFormat::I32, "i32", 2, false, -2147483648.0, 2147483647.0},
    {WordFormat::F32, "f32", 2, false, -FLOAT_MAX, FLOAT_MAX},
    {WordFormat::U32R, "u32r", 2, true, 0, 4294967295.0},
    {WordFormat::I32R, "i32r", 2, true, -2147483648.0, 2147483647.0},
    {WordFormat::F32R, "f32r", 2, true, -FLOAT_MAX, FLOAT_MAX},
}};

const FormatInfo& Info(WordFormat format)
{
    return FORMATS[static_cast<size_t>(format)];
}

bool IsFloat(WordFormat format)
{
    return format == WordFormat::F32 || format == WordFormat::F32R;
}

// A scale of 0.1 is 1/10: dividing by 10 gives 0.3 for 3 where multiplying
// by 0.1 gives 0.30000000000000004. The divisor when there is one, else 0.
double Divisor(double scale)
{
    const double inverse = std::round(1 / scale);
    return inverse != 0 && std::abs(inverse) < 1e15 && 1 / inverse == scale ? inverse : 0;
}

// raw × scale + offset, by the divisor where the scale has one.
double Scaled(const ValueFormat& format, double raw)
{
    const double divisor = Divisor(format.scale);
    return (divisor != 0 ? raw / divisor : raw * format.scale) + format.offset;
}

std::optional<double> ParseDecimal(const std::string& text)
{
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value, std::chars_format::general);
    if (error != std::errc() || stop != end || !std::isfinite(value))
        return std::nullopt;
    return value;
}

}  // namespace

int ValueFormat::Words() const
{
    return Info(format).words;
}

bool ValueFormat::Plain() const
{
    return format == WordFormat::U16 && scale == 1 && offset == 0;
}

std::optional<WordFormat> ParseWordFormat(std::string_view text)
{
    for (const FormatInfo& info : FORMATS) {
        const std::string_view name = info.name;
        if (text.size() == name.size() && std::equal(text.begin(), text.end(), name.begin(), [](char a, char b) {
                return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
            }))
            return info.format;
    }
    return std::nullopt;
}

const char* WordFormatName(WordFormat format)
{
    return Info(format).name;
}

std::optional<ValueFormat> ParseValueFormat(const FormatColumns& columns, std::string* why)
{
    ValueFormat format;
    if (!columns.format.empty()) {
        const auto word = ParseWordFormat(columns.format);
        if (!word) {
            *why = "the format \"" + columns.format + "\" is not u16, i16, u32, i32, f32, u32r, i32r or f32r";
            return std::nullopt;
        }
        format.format = *word;
    }
    if (!columns.scale.empty()) {
        const auto scale = ParseDecimal(columns.scale);
        if (!scale || *scale == 0) {
            *why = "the scale \"" + columns.scale + "\" is not a number other than 0 (such as 0.1)";
            return std::nullopt;
        }
        format.scale = *scale;
    }
    if (!columns.offset.empty()) {
        const auto offset = ParseDecimal(columns.offset);
        if (!offset) {
            *why = "the offset \"" + columns.offset + "\" is not a number (such as -40)";
            return std::nullopt;
        }
        format.offset = *offset;
    }
    format.unit = columns.unit;
    return format;
}

double ValueOf(const ValueFormat& format, std::span<const uint16_t> words)
{
    const FormatInfo& info = Info(format.format);
    if (words.size() < static_cast<size_t>(info.words))
        return std::numeric_limits<double>::quiet_NaN();
    uint32_t bits = words[0];
    if (info.words == 2)
        bits = info.lowFirst ? (uint32_t{words[1]} << 16 | words[0]) : (uint32_t{words[0]} << 16 | words[1]);
    double raw = 0;
    switch (format.format) {
    case WordFormat::U16:
    case WordFormat::U32:
    case WordFormat::U32R: raw = bits; break;
    case WordFormat::I16: raw = static_cast<int16_t>(bits); break;
    case WordFormat::I32:
    case WordFormat::I32R: raw = static_cast<int32_t>(bits); break;
    case WordFormat::F32:
    case WordFormat::F32R: raw = std::bit_cast<float>(bits); break;
    }
    return Scaled(format, raw);
}

EncodedValue EncodeValue(const ValueFormat& format, double value)
{
    const FormatInfo& info = Info(format.format);
    if (!std::isfinite(value))
        return {{}, "the value is not a finite number"};
    const double divisor = Divisor(format.scale);
    double raw = divisor != 0 ? (value - format.offset) * divisor : (value - format.offset) / format.scale;
    if (!IsFloat(format.format))
        raw = std::round(raw);
    if (!(raw >= info.rawMin && raw <= info.rawMax)) {
        const ValueRange range = RangeOf(format);
        return {{},
                "the value is out of the range of " + std::string(info.name) +
                    (format.scale == 1 && format.offset == 0 ? "" : " with its scale and offset") + ": " +
                    ValueNumberText(format, range.min) + " to " + ValueNumberText(format, range.max)};
    }
    uint32_t bits = 0;
    if (IsFloat(format.format))
        bits = std::bit_cast<uint32_t>(static_cast<float>(raw));
    else if (raw < 0)
        bits = static_cast<uint32_t>(static_cast<int32_t>(raw));
    else
        bits = static_cast<uint32_t>(raw);
    if (info.words == 1)
        return {{static_cast<uint16_t>(bits)}, {}};
    const auto high = static_cast<uint16_t>(bits >> 16);
    const auto low = static_cast<uint16_t>(bits & 0xFFFF);
    return {info.lowFirst ? std::vector<uint16_t>{low, high} : std::vector<uint16_t>{high, low}, {}};
}

ValueRange RangeOf(const ValueFormat& format)
{
    const FormatInfo& info = Info(format.format);
    const double a = Scaled(format, info.rawMin);
    const double b = Scaled(format, info.rawMax);
    return {std::min(a, b), std::max(a, b)};
}

std::string ValueNumberText(const ValueFormat& format, double value)
{
    if (!std::isfinite(value))
        return "null";
    if (value == 0)
        value = 0;  // no "-0"
    std::array<char, 64> text{};
    std::to_chars_result result{};
    const float single = static_cast<float>(value);
    if (IsFloat(format.format) && std::isfinite(single))
        result = std::to_chars(text.data(), text.data() + text.size(), single);
    else  // a double's 15 digits: 300 - 273.15 is 26.85, not 26.850000000000023
        result = std::to_chars(text.data(), text.data() + text.size(), value, std::chars_format::general,
                               std::numeric_limits<double>::digits10);
    return std::string(text.data(), result.ptr);
}

}  // namespace kivgate
