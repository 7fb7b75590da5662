// Tag address texts as the tools read them before the driver has: what kind
// of value a text names, and texts the driver would read as something else
// than what was typed. The driver's parser remains the authority on validity.
#ifndef DAVODEV_TOOLS_TAG_TEXT_H
#define DAVODEV_TOOLS_TAG_TEXT_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host_api/davodev.h"

namespace kivhost {

// Tag types the host hands the parsers.
enum : uint32_t { TAG_TYPE_WORD = 0, TAG_TYPE_BIT = 6 };

// What an address text names, as far as kivhost needs to know before the
// driver has seen it: the parser remains the authority on validity.
enum class ValueKind { Word, Bit };
ValueKind GuessValueKind(std::string_view address);
bool HasBitDigit(std::string_view address);
// The tag type a host would give the single parser for this address.
uint32_t DefaultTagType(std::string_view address);

// The driver reads the first eight characters of a tag text and ignores a
// bit digit where it means nothing: texts it would read as something else
// than what was typed are refused here. Empty, or why, in one line.
std::string AddressTextProblem(std::string_view address);

// Decimal, or hexadecimal with 0x; 0 to 65535 for words, 0 or 1 for bits.
std::optional<uint16_t> ParseValue(std::string_view text, ValueKind kind);
// Whether the values written fit the address the parser made: a bit (B, A,
// E, or a bit of a W word) is 0 or 1. Empty, or why, in one line.
std::string WriteValuesProblem(const DriverAddress& address, const std::string& text,
                               const std::vector<std::string>& valueTexts, const std::vector<uint16_t>& values);

}  // namespace kivhost

#endif  // DAVODEV_TOOLS_TAG_TEXT_H
