// Text as a terminal shows it: characters counted, not bytes, and a line
// without the spaces that pad it.
#ifndef DAVODEV_TESTS_TERMINAL_TEXT_H
#define DAVODEV_TESTS_TERMINAL_TEXT_H

#include <cstddef>
#include <string>

inline size_t Characters(const std::string& utf8)
{
    size_t n = 0;
    for (char c : utf8)
        n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

inline std::string Trimmed(std::string text)
{
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

#endif  // DAVODEV_TESTS_TERMINAL_TEXT_H
