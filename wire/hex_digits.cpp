#include "wire/hex_digits.h"

namespace kivhost {

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

int HexValue(std::string_view text)
{
    int value = 0;
    for (char c : text) {
        const int digit = HexDigit(c);
        if (digit < 0)
            return -1;
        value = value * 16 + digit;
    }
    return value;
}

std::string Hex(unsigned value, int width)
{
    static constexpr char DIGITS[] = "0123456789ABCDEF";
    std::string text(static_cast<size_t>(width), '0');
    for (int i = width - 1; i >= 0; --i) {
        text[static_cast<size_t>(i)] = DIGITS[value & 0xF];
        value >>= 4;
    }
    return text;
}

}  // namespace kivhost
