// Tag address texts such as 01W0010 or 01w00105, checked and turned into the
// compact DriverAddress the host hands back with every read and write.
#ifndef DAVODEV_ADDRESS_PARSER_H
#define DAVODEV_ADDRESS_PARSER_H

#include <array>
#include <cstdint>

#include "host_api/davodev.h"

namespace kiv {

enum class ParseMode { Single, Block };

// Digit values by character code; 99 for anything that is no digit.
inline constexpr std::array<uint8_t, 256> DIGIT_VALUES = [] {
    std::array<uint8_t, 256> values{};
    values.fill(99);
    for (int c = '0'; c <= '9'; ++c)
        values[c] = static_cast<uint8_t>(c - '0');
    for (int c = 'A'; c <= 'F'; ++c)
        values[c] = values[c - 'A' + 'a'] = static_cast<uint8_t>(c - 'A' + 10);
    return values;
}();

// Reads exactly n characters as one number: decimal for mode 'D', otherwise
// hexadecimal (either case). Any other character, a NUL included, gives -1.
// Up to 7 hex or 9 decimal digits give the number itself; more give its
// low 32 bits (the driver reads at most 4). Inline: replies of 255 words are
// read through here a thousand digits at a time.
inline int32_t ReadNumber(const char* chars, int n, char mode)
{
    const uint32_t base = mode == 'D' ? 10 : 16;
    // Unsigned, so that eight or more digits wrap instead of overflowing.
    uint32_t value = 0;
    for (int i = 0; i < n; ++i) {
        const uint32_t digit = DIGIT_VALUES[static_cast<unsigned char>(chars[i])];
        if (digit >= base)
            return -1;
        value = value * base + digit;
    }
    return static_cast<int32_t>(value);
}

// Checks block->text against the grammar and the tag's type and count and
// fills block->address. A rejection leaves the fields already written as
// they are.
int32_t ParseAddress(AddressParseBlock* block, ParseMode mode);

// The host's commands over it, for the command table.
int32_t SingleAddressParser(DriverRequest* request);
int32_t BlockAddressParser(DriverRequest* request);

}  // namespace kiv

#endif  // DAVODEV_ADDRESS_PARSER_H
