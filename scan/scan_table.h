// The scan's live table, cut to the terminal.
#ifndef DAVODEV_KIVHOST_SCAN_TABLE_H
#define DAVODEV_KIVHOST_SCAN_TABLE_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "scan_engine.h"

namespace kivhost {

// Tags that do not fit are shown a page at a time, the page turning every
// few seconds; the stations' summary and the latest events are always shown.
struct TableView {
    int width = 80;
    int height = 24;
    double seconds = 0;               // since the scan started: turns the pages
    std::string title;                // the first line
    std::vector<std::string> events;  // the latest, newest last, with their times
};
std::vector<std::string> TableLines(const ScanEngine& engine, const TableView& view);

// The text cut or padded to width code points.
std::string Fit(std::string_view utf8, size_t width);

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_SCAN_TABLE_H
