// kivhost's field commands: scan, a tag list read cycle after cycle in
// planned blocks, and stations, a survey of who answers on a line.
#ifndef DAVODEV_KIVHOST_SCAN_H
#define DAVODEV_KIVHOST_SCAN_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kivhost_commands.h"
#include "scan_engine.h"
#include "tag_list.h"

namespace kivhost {

struct ScanOptions {
    std::string tagFile;
    int maxGap = DEFAULT_MAX_GAP;  // NO_GROUPING: a block per tag
    bool plan = false;             // print the blocks and stop
    uint32_t retryDownS = DEFAULT_RETRY_DOWN_S;
    std::string csvPath;    // appended to: a row per tag per cycle
    std::string jsonlPath;  // the same as JSON, an object a line
};

// Stations in the address's own form: two hex digits, 01 to 20.
struct StationRange {
    int first = 1;
    int last = 32;
};

// Option values, checked before anything is loaded; nullopt with why.
std::optional<int> ParseMaxGap(std::string_view text, std::string* why);
std::optional<uint32_t> ParseRetryDown(std::string_view text, std::string* why);
std::optional<StationRange> ParseStationRange(std::string_view text, std::string* why);

int RunScan(Context& context, const ScanOptions& scan);
int RunStations(Context& context, const StationRange& range);

// The tags of a file, every row checked by the driver's parser before the
// port opens (the channel is started without it). EXIT_DONE, or the status
// to leave with, every bad row told on standard error and the driver ended.
int LoadTagFile(Context& context, const std::string& path, std::vector<Tag>* tags);

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_SCAN_H
