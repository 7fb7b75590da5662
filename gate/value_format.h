// What a word tag's values mean: the format of its words, a scale and an
// offset (value = raw × scale + offset) and a unit for people. Modbus serves
// the raw words; MQTT and the status page the values. A 32-bit format takes
// two consecutive words per value.
#ifndef KIVGATE_VALUE_FORMAT_H
#define KIVGATE_VALUE_FORMAT_H

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kivgate {

// High word first at the lower address, except the R forms (low word first).
enum class WordFormat { U16, I16, U32, I32, F32, U32R, I32R, F32R };

struct ValueFormat {
    WordFormat format = WordFormat::U16;
    double scale = 1;
    double offset = 0;
    std::string unit;

    // Words per value: 1 or 2.
    int Words() const;
    // u16, scale 1, offset 0: values are the words themselves.
    bool Plain() const;
};

// "u16", "i16", "u32", "i32", "f32", "u32r", "i32r", "f32r" (any case);
// none for anything else.
std::optional<WordFormat> ParseWordFormat(std::string_view text);
const char* WordFormatName(WordFormat format);

// The columns' texts into a format, or why not: format may be empty (u16),
// scale and offset empty (1 and 0) or finite decimal numbers, scale not 0.
struct FormatColumns {
    std::string format, scale, offset, unit;
};
std::optional<ValueFormat> ParseValueFormat(const FormatColumns& columns, std::string* why);

// The value of one value's words (Words() of them): raw × scale + offset.
// A float's NaN or infinity stays one.
double ValueOf(const ValueFormat& format, std::span<const uint16_t> words);

// The words for a value, rounded to the nearest raw value; why when the
// value is not finite or its raw value is out of the format's range.
struct EncodedValue {
    std::vector<uint16_t> words;  // Words() of them, when why is empty
    std::string why;
};
EncodedValue EncodeValue(const ValueFormat& format, double value);

// The least and greatest value the format can carry, scale and offset
// applied (a negative scale swaps them).
struct ValueRange {
    double min = 0;
    double max = 0;
};
ValueRange RangeOf(const ValueFormat& format);

// The shortest decimal that reads back as the value at a float's precision
// for a float format, at a double's 15 significant digits for the others (a
// scale's or offset's rounding left out); integers without a point. Not
// finite: "null".
std::string ValueNumberText(const ValueFormat& format, double value);

}  // namespace kivgate

#endif  // KIVGATE_VALUE_FORMAT_H
