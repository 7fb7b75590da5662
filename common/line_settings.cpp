#include "common/line_settings.h"

namespace kivhost {

std::string LineOptions::FormatText() const
{
    static constexpr const char* STOP[] = {"1", "1.5", "2"};
    return std::to_string(dataBits) + (parity < 5 ? PARITY_LETTERS[parity] : '?') +
           (stopBits < 3 ? STOP[stopBits] : "?");
}

std::optional<CharFormat> TakeCharFormat(const FormatGiven& given, FormatRefusal* refusal)
{
    const auto refuse = [refusal](const char* option, const std::string& value, std::string why) {
        *refusal = {option, value, std::move(why), false};
        return std::nullopt;
    };
    const auto disagree = [&](const char* option, const std::string& value) {
        *refusal = {option, value, "--format " + given.format + " and " + option + " " + value + " disagree", true};
        return std::nullopt;
    };
    CharFormat format;  // 8N1
    const bool formatGiven = !given.format.empty();
    if (formatGiven) {
        const auto parsed = ParseCharFormat(given.format);
        if (!parsed)
            return refuse("--format", given.format,
                          "give data bits 5 to 8, parity N, E, O, M or S, and stop bits 1, 1.5 or 2, e.g. 8N1 or 7E1");
        format = *parsed;
    }
    if (!given.dataBits.empty()) {
        const auto bits = ParseNumber(given.dataBits, 5, 8);
        if (!bits)
            return refuse("--data-bits", given.dataBits, "data bits are 5 to 8, usually 8 (or 7 with even parity)");
        if (formatGiven && static_cast<int>(*bits) != format.dataBits)
            return disagree("--data-bits", given.dataBits);
        format.dataBits = static_cast<int>(*bits);
    }
    if (!given.parity.empty()) {
        const auto parity = ParseParity(given.parity);
        if (!parity)
            return refuse("--parity", given.parity, "use none, odd, even, mark or space (or n, o, e, m, s)");
        if (formatGiven && *parity != format.parity)
            return disagree("--parity", given.parity);
        format.parity = *parity;
    }
    if (!given.stopBits.empty()) {
        // The stop bits read as the last part of a format, by the one rule.
        const auto parsed = ParseCharFormat("8N" + given.stopBits);
        if (!parsed)
            return refuse("--stop-bits", given.stopBits, "use 1, 1.5 or 2");
        if (formatGiven && parsed->stopBits != format.stopBits)
            return disagree("--stop-bits", given.stopBits);
        format.stopBits = parsed->stopBits;
    }
    return format;
}

double WireMs(size_t characters, const LineOptions& line)
{
    // Stop bit codes: 0 one, 1 one and a half, 2 two.
    const double stop = line.stopBits == 0 ? 1.0 : line.stopBits == 1 ? 1.5 : 2.0;
    const double bits = 1.0 + line.dataBits + (line.parity != 0 ? 1.0 : 0.0) + stop;
    return static_cast<double>(characters) * bits * 1000.0 / line.baud;
}

}  // namespace kivhost
