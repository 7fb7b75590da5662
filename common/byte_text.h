// Line bytes as people read them on one line.
#ifndef DAVODEV_TOOLS_BYTE_TEXT_H
#define DAVODEV_TOOLS_BYTE_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kivhost {

// shown: false where a byte is not known (a trace hid it); empty: all known.
// Bytes for one line: CR as \r, LF as \n, \ as \\, other control and
// non-ASCII bytes as \xNN, bytes not shown as \x??. Past `most` bytes the
// rest is left out and "..." says so.
std::string VisibleBytes(const std::string& bytes, const std::vector<bool>& shown, size_t most = SIZE_MAX);
// The bytes in hex, two digits each, ?? where not shown.
std::string HexBytes(const std::string& bytes, const std::vector<bool>& shown);

}  // namespace kivhost

#endif  // DAVODEV_TOOLS_BYTE_TEXT_H
