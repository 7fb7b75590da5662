#include "fieldkit/value_text.h"

#include <cstdio>

#include "common/tool_text.h"

namespace kivhost {

bool IsWordAddress(const DriverAddress& address)
{
    return address.operand == 'W' && address.bit == NO_BIT;
}

std::string FormatValue(const DriverAddress& address, uint16_t value)
{
    if (!IsWordAddress(address))
        return std::to_string(value);
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

std::string ValueList(const DriverAddress& address, const std::vector<uint16_t>& values, size_t width)
{
    std::string out;
    for (uint16_t value : values) {
        const std::string one = FormatValue(address, value);
        if (!out.empty() && out.size() + 1 + one.size() > width)
            return out + " ...";
        if (!out.empty())
            out += ' ';
        out += one;
    }
    return out;
}

std::string BannerUtf8(const DriverInfoBlock& info)
{
    return info.banner == nullptr ? std::string() : Cp437ToUtf8(info.banner);
}

}  // namespace kivhost
