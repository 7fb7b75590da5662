// Hex digits as frames carry them: station, address, data and checksum.
#ifndef DAVODEV_TOOLS_HEX_DIGITS_H
#define DAVODEV_TOOLS_HEX_DIGITS_H

#include <string>
#include <string_view>

namespace kivhost {

// One hex digit of a frame, either case (other hosts on a line may write
// lower case); -1 if it is not one.
int HexDigit(char c);
// Exactly text.size() hex digits as a number; -1 if any is not one.
int HexValue(std::string_view text);

// Upper-case hex of value, zero-padded to width digits, as frames and
// addresses write it.
std::string Hex(unsigned value, int width);

}  // namespace kivhost

#endif  // DAVODEV_TOOLS_HEX_DIGITS_H
