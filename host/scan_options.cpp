#include "scan_options.h"

#include <charconv>

namespace kivhost {
namespace {

constexpr uint32_t RETRY_DOWN_MAX_S = 86400;

}  // namespace

std::optional<int> ParseMaxGap(std::string_view text, std::string* why)
{
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < -1 || value > MAX_GAP_MAX) {
        *why = "bad --max-gap \"" + std::string(text) + "\": give the elements that may lie unused in a block, 0 to " +
               std::to_string(MAX_GAP_MAX) + " (default " + std::to_string(DEFAULT_MAX_GAP) +
               "), or -1 for a read per tag";
        return std::nullopt;
    }
    return value;
}

std::optional<uint32_t> ParseRetryDown(std::string_view text, std::string* why)
{
    uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < 1 ||
        value > RETRY_DOWN_MAX_S) {
        *why = "bad --retry-down \"" + std::string(text) +
               "\": give the seconds between tries of a station that stopped answering, 1 to 86400 (default " +
               std::to_string(DEFAULT_RETRY_DOWN_S) + ")";
        return std::nullopt;
    }
    return value;
}

std::optional<StationRange> ParseStationRange(std::string_view text, std::string* why)
{
    // Numbers as everywhere on the command line: decimal, or hex with 0x.
    // Two hex digits with a letter, as a tag address writes a station, are
    // refused: "0A" could be meant either way.
    auto station = [why, text](std::string_view part) -> int {
        const bool hex = part.starts_with("0x") || part.starts_with("0X");
        const std::string_view digits = hex ? part.substr(2) : part;
        int value = 0;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, hex ? 16 : 10);
        if (!digits.empty() && error == std::errc() && end == digits.data() + digits.size() && value >= 1 &&
            value <= 32)
            return value;
        int asHex = 0;
        const auto [hexEnd, hexError] = std::from_chars(part.data(), part.data() + part.size(), asHex, 16);
        if (part.size() == 2 && hexError == std::errc() && hexEnd == part.data() + part.size())
            *why = "ambiguous station " + std::string(part) + " in --range " + std::string(text) + ": write " +
                   std::to_string(asHex) + " or 0x" + std::string(part);
        else
            *why = "bad --range \"" + std::string(text) +
                   "\": give stations from 1 to 32, decimal or hex with 0x, e.g. --range 1-32 or --range 0x0A-0x0F";
        return -1;
    };
    const size_t dash = text.find('-');
    StationRange range;
    range.first = station(text.substr(0, dash));
    if (range.first < 0)
        return std::nullopt;
    range.last = dash == std::string_view::npos ? range.first : station(text.substr(dash + 1));
    if (range.last < 0)
        return std::nullopt;
    if (range.first > range.last) {
        *why = "bad --range \"" + std::string(text) + "\": the first station comes first, e.g. --range 1-32";
        return std::nullopt;
    }
    return range;
}

}  // namespace kivhost
