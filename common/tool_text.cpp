#include "common/tool_text.h"

#include "wire/hex_digits.h"

#include <cstdarg>
#include <cstdio>

namespace kivhost {
namespace {

// Code points of code page 437 bytes 0x80 to 0xFF.
constexpr char16_t CP437_HIGH[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
    0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
    0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
    0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

void AppendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// The bytes of the character at the start of text, if it is UTF-8 and not a
// control character; 0 otherwise.
size_t PrintableLength(std::string_view text)
{
    const auto byte = [&](size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u; };
    const unsigned lead = byte(0);
    if (lead < 0x20 || lead == 0x7F)
        return 0;
    if (lead < 0x80)
        return 1;
    size_t length = 0;
    unsigned low = 0x80;  // the second byte's range, narrower after some leads
    unsigned high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (byte(1) < low || byte(1) > high)
        return 0;
    for (size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xBF)
            return 0;
    if (lead == 0xC2 && byte(1) < 0xA0)
        return 0;  // C1 control characters
    return length;
}

}  // namespace

std::string Cut(std::string_view utf8, size_t width)
{
    std::string out;
    size_t shown = 0;
    size_t keep = 0;  // the bytes of the first width - 1 characters
    for (size_t at = 0; at < utf8.size();) {
        if (shown == width) {
            if (width == 0)
                return "";
            return out.substr(0, keep) + std::string(CUT_MARK);
        }
        const size_t length = PrintableLength(utf8.substr(at));
        if (length == 0) {
            out += '?';
            ++at;
        } else {
            out.append(utf8.substr(at, length));
            at += length;
        }
        ++shown;
        if (shown == width - 1)
            keep = out.size();
    }
    return out;
}

std::string Fit(std::string_view utf8, size_t width)
{
    std::string out = Cut(utf8, width);
    size_t shown = 0;
    for (char c : out)
        shown += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    if (shown < width)
        out.append(width - shown, ' ');
    return out;
}

size_t FirstUnprintable(std::string_view utf8, bool tabs)
{
    for (size_t at = 0; at < utf8.size();) {
        if (tabs && utf8[at] == '\t') {
            ++at;
            continue;
        }
        const size_t length = PrintableLength(utf8.substr(at));
        if (length == 0)
            return at;
        at += length;
    }
    return std::string_view::npos;
}

std::string Printable(std::string_view utf8)
{
    std::string out;
    for (size_t at = 0; at < utf8.size();) {
        const size_t length = PrintableLength(utf8.substr(at));
        if (length == 0) {
            out += "\\x" + Hex(static_cast<unsigned char>(utf8[at]), 2);
            ++at;
        } else {
            out.append(utf8.substr(at, length));
            at += length;
        }
    }
    return out;
}

std::string Cp437ToUtf8(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size() * 3);
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x80)
            AppendUtf8(out, CP437_HIGH[byte - 0x80]);
        else if ((byte < 0x20 && byte != '\n' && byte != '\t') || byte == 0x7F)
            out += "\\x" + Hex(byte, 2);
        else
            out += c;
    }
    return out;
}

std::string BannerVersionLine(const char* banner)
{
    std::string_view rest = banner == nullptr ? std::string_view() : banner;
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (line.find("Version") == std::string_view::npos)
            continue;
        // The frame is drawn with code page 437 characters above 0x7F.
        auto isFrame = [](char c) { return c == ' ' || static_cast<unsigned char>(c) > 0x7F; };
        while (!line.empty() && isFrame(line.front()))
            line.remove_prefix(1);
        while (!line.empty() && isFrame(line.back()))
            line.remove_suffix(1);
        return Cp437ToUtf8(line);
    }
    return {};
}

std::string Printf(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, again);
    va_end(again);
    return text;
}

std::string StationText(int station)
{
    return std::to_string(station) + " (" + Hex(static_cast<unsigned>(station) & 0xFF, 2) + ")";
}

std::string ResultName(int32_t result)
{
    switch (result) {
    case SUCCESS: return "SUCCESS";
    case REJECTED: return "REJECTED";
    case RECOVERY_ERROR: return "RECOVERY_ERROR";
    default: return std::to_string(result);
    }
}

}  // namespace kivhost
