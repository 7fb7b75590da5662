// The scan's live table, cut to the terminal.
#ifndef DAVODEV_KIVHOST_SCAN_TABLE_H
#define DAVODEV_KIVHOST_SCAN_TABLE_H

#include <cstddef>
#include <string>
#include <vector>

#include "scan/scan_engine.h"

namespace kivhost {

// The tags shown when they do not all fit: each page starts where the one
// before ended, so that no tag is shown twice before all have been, even
// when the room for them changes between drawings.
struct TablePage {
    size_t first = 0;  // the first tag shown
    size_t shown = 0;  // how many were
    double since = 0;  // when the page was turned to, in TableView::seconds
};

// A tag a row (a run's elements on one), a page at a time when they do not
// all fit, the page turning every few seconds; the stations' summary, the
// notes and the latest events are always shown. Before the first cycle the
// tags are shown waiting.
struct TableView {
    int width = 80;
    int height = 24;
    double seconds = 0;               // since the scan started: turns the pages
    std::string title;                // the first line
    std::vector<std::string> notes;   // under the cycle's figures, e.g. that cycles overrun --interval
    std::vector<std::string> events;  // the latest, newest last, with their times
    TablePage page;                   // carried from one drawing to the next
};
// The lines, at most height - 1; each cut to the width by the live view.
std::vector<std::string> TableLines(const ScanEngine& engine, TableView& view);

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_SCAN_TABLE_H
