// A PCON_NET frame as text: "/", the body, the checksum (the body's character
// codes summed, modulo 256, two upper-case hex digits) and CR. Computed here
// apart from the driver and the simulator, so tests check both against it.
#ifndef DAVODEV_TESTS_FRAMED_H
#define DAVODEV_TESTS_FRAMED_H

#include <cstdio>
#include <string>

inline std::string Framed(const std::string& body)
{
    unsigned sum = 0;
    for (char c : body)
        sum += static_cast<unsigned char>(c);
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", sum % 256);
    return "/" + body + digits + "\r";
}

#endif  // DAVODEV_TESTS_FRAMED_H
