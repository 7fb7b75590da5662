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
    auto station = [](std::string_view digits) -> int {
        int value = 0;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
        if (digits.size() != 2 || error != std::errc() || end != digits.data() + digits.size())
            return -1;
        return value;
    };
    const size_t dash = text.find('-');
    StationRange range;
    range.first = station(text.substr(0, dash));
    range.last = dash == std::string_view::npos ? range.first : station(text.substr(dash + 1));
    if (range.first < 1 || range.last > 32 || range.first > range.last) {
        *why = "bad --range \"" + std::string(text) +
               "\": give stations as addresses write them, two hex digits from 01 to 20, e.g. --range 01-20 or "
               "--range 0A-0F";
        return std::nullopt;
    }
    return range;
}

}  // namespace kivhost
