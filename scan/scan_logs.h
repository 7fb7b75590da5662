// What a scan writes for scripts and files, a cycle at a time: the CSV and
// JSON Lines logs, the cycle as one JSON object (--json), and one line a
// cycle where nothing is redrawn.
#ifndef DAVODEV_KIVHOST_SCAN_LOGS_H
#define DAVODEV_KIVHOST_SCAN_LOGS_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "scan/scan_engine.h"

namespace kivhost {

// The logs: the header, then rows or an object per tag per cycle, all rows
// of a cycle with the cycle's start time. A run has a CSV row per element,
// named NAME[i] with the element's own address, so that each can be charted;
// its JSON object keeps the elements in one array.
constexpr std::string_view CSV_HEADER = "time,name,address,value,quality,reason,attempts";
std::vector<std::string> CsvRows(const ScanEngine& engine, size_t tag);
std::string JsonlRow(const ScanEngine& engine, size_t tag);

// --json: the cycle as one object, on one line.
std::string CycleJson(const ScanEngine& engine);
// One line per cycle where nothing is redrawn.
std::string CycleLine(const ScanEngine& engine);

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_SCAN_LOGS_H
