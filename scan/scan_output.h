// What a scan shows and writes: the live table, one line a cycle where
// there is no terminal, the CSV and JSON Lines logs, the JSON of a cycle,
// the plan. Text only: where it goes is the command's business.
#ifndef DAVODEV_KIVHOST_SCAN_OUTPUT_H
#define DAVODEV_KIVHOST_SCAN_OUTPUT_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "line_settings.h"
#include "scan_engine.h"

namespace kivhost {

// A tag's elements in decimal, separated by spaces; empty before its first good read.
std::string ValueText(const TagState& state);
// Failed and down: the reason's name (no-reply, nak, wrong-station, short,
// garbled, not-sent). Good: the flags, "late?" and "checksum?", if any.
std::string ReasonText(const TagState& state);
// What went wrong with the tag, in one line, with what to check; empty when good.
std::string TagMessage(const ScanEngine& engine, size_t tag);

// The logs: the header, then one row or object per tag per cycle, all rows
// of a cycle with the cycle's start time.
constexpr std::string_view CSV_HEADER = "time,name,address,value,quality,reason,attempts";
std::string CsvRow(const ScanEngine& engine, size_t tag);
std::string JsonlRow(const ScanEngine& engine, size_t tag);

// One event as a line for people (no time).
std::string EventText(const ScanEngine& engine, const ScanEvent& event);

// --json: the cycle as one object, on one line.
std::string CycleJson(const ScanEngine& engine);
// One line per cycle where nothing is redrawn.
std::string CycleLine(const ScanEngine& engine);

// The live table, cut to the terminal. Tags that do not fit are shown a
// page at a time, the page turning every few seconds; the stations'
// summary and the latest events are always shown.
struct TableView {
    int width = 80;
    int height = 24;
    double seconds = 0;               // since the scan started: turns the pages
    std::string title;                // the first line
    std::vector<std::string> events;  // the latest, newest last, with their times
};
std::vector<std::string> TableLines(const ScanEngine& engine, const TableView& view);

// --plan: the blocks, what each serves, their bytes and time on the line.
std::string PlanText(const std::vector<Tag>& tags, const ReadPlan& plan, int maxGap, const LineOptions& line);
std::string PlanJson(const std::vector<Tag>& tags, const ReadPlan& plan, int maxGap, const LineOptions& line);

// The text cut or padded to width code points.
std::string Fit(std::string_view utf8, size_t width);

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_SCAN_OUTPUT_H
