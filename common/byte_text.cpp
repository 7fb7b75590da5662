#include "common/byte_text.h"

#include "wire/hex_digits.h"

namespace kivhost {
namespace {

bool Shown(const std::vector<bool>& shown, size_t i)
{
    return i >= shown.size() || shown[i];
}

}  // namespace

std::string VisibleBytes(const std::string& bytes, const std::vector<bool>& shown, size_t most)
{
    std::string out;
    for (size_t i = 0; i < bytes.size() && i < most; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (!Shown(shown, i))
            out += "\\x??";
        else if (byte == '\r')
            out += "\\r";
        else if (byte == '\n')
            out += "\\n";
        else if (byte == '\\')
            out += "\\\\";
        else if (byte < 0x20 || byte >= 0x7F)
            out += "\\x" + Hex(byte, 2);
        else
            out += static_cast<char>(byte);
    }
    return bytes.size() > most ? out + "..." : out;
}

std::string HexBytes(const std::string& bytes, const std::vector<bool>& shown)
{
    std::string out;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0)
            out += ' ';
        out += Shown(shown, i) ? Hex(static_cast<unsigned char>(bytes[i]), 2) : "??";
    }
    return out;
}

}  // namespace kivhost
