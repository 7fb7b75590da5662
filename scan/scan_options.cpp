#include "scan/scan_options.h"

#include "common/number_rules.h"

namespace kivhost {
namespace {

constexpr uint32_t RETRY_DOWN_MAX_S = 86400;

}  // namespace

std::optional<int> ParseMaxGap(std::string_view text, std::string* why)
{
    if (text == "-1")
        return -1;
    const auto gap = ParseNumber(text, 0, MAX_GAP_MAX);
    if (!gap) {
        *why = "bad --max-gap \"" + std::string(text) + "\": give the elements that may lie unused in a block, 0 to " +
               std::to_string(MAX_GAP_MAX) + " (default " + std::to_string(DEFAULT_MAX_GAP) +
               "), or -1 for a read per tag";
        return std::nullopt;
    }
    return static_cast<int>(*gap);
}

std::optional<uint32_t> ParseRetryDown(std::string_view text, std::string* why)
{
    const auto seconds = ParseNumber(text, 1, RETRY_DOWN_MAX_S);
    if (!seconds) {
        *why = "bad --retry-down \"" + std::string(text) +
               "\": give the seconds between tries of a station that stopped answering or of a failed port, 1 to "
               "86400 (default " +
               std::to_string(DEFAULT_RETRY_DOWN_S) + ")";
        return std::nullopt;
    }
    return static_cast<uint32_t>(*seconds);
}

std::optional<StationRange> ParseStationRange(std::string_view text, std::string* why)
{
    // Each end a station by the rule of the whole command line.
    const size_t dash = text.find('-');
    const std::string_view first = text.substr(0, dash);
    const std::string_view last = dash == std::string_view::npos ? first : text.substr(dash + 1);
    std::string reason;
    const auto from = ParseStation(first, &reason);
    const auto to = from ? ParseStation(last, &reason) : std::nullopt;
    if (!from || !to) {
        *why = "bad --range \"" + std::string(text) + "\": " + reason + "; e.g. --range 1-32 or --range 0x0A-0x0F";
        return std::nullopt;
    }
    if (*from > *to) {
        *why = "bad --range \"" + std::string(text) + "\": the first station comes first, e.g. --range 1-32";
        return std::nullopt;
    }
    return StationRange{*from, *to};
}

}  // namespace kivhost
