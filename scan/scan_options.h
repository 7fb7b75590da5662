// What scan and stations are told on the command line, and the checks of
// their values, made before anything is loaded or opened.
#ifndef DAVODEV_KIVHOST_SCAN_OPTIONS_H
#define DAVODEV_KIVHOST_SCAN_OPTIONS_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kivhost {

// Elements that may lie unused between two tags of a block unless
// --max-gap says otherwise. A separate read costs a 14-character request,
// the reply's 9 characters of frame and the station's turnaround; 8 unused
// words cost 32 characters, about that much, and 8 unused bits 8.
constexpr int DEFAULT_MAX_GAP = 8;
constexpr int MAX_GAP_MAX = 254;  // a wider gap cannot fit a block of 255 anyway
constexpr uint32_t DEFAULT_RETRY_DOWN_S = 10;

struct ScanOptions {
    std::string tagFile;
    int maxGap = DEFAULT_MAX_GAP;                // -1 (NO_GROUPING): a block per tag
    bool plan = false;                           // print the blocks and stop
    uint32_t retryDownS = DEFAULT_RETRY_DOWN_S;  // also poll's, for a failed port
    std::string csvPath;                         // appended to: a row per tag per cycle
    std::string jsonlPath;                       // the same as JSON, an object a line
};

// Stations 1 to 32 (01 to 20 in a tag address).
struct StationRange {
    int first = 1;
    int last = 32;
};

// nullopt, with why in one line, when the text is not a value of the option.
std::optional<int> ParseMaxGap(std::string_view text, std::string* why);
std::optional<uint32_t> ParseRetryDown(std::string_view text, std::string* why);
std::optional<StationRange> ParseStationRange(std::string_view text, std::string* why);

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_SCAN_OPTIONS_H
