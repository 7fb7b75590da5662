// Where poll and scan show their cycles: on a terminal that can redraw in
// place, a table drawn over the one before; elsewhere (a file, a pipe, a
// script's --json), lines one after the other.
#ifndef DAVODEV_KIVHOST_LIVE_VIEW_H
#define DAVODEV_KIVHOST_LIVE_VIEW_H

#include <cstdio>
#include <string>
#include <vector>

#include "driver_output.h"
#include "kivhost_options.h"

namespace kivhost {

class LiveView {
public:
    LiveView(const Options& options, DriverOutput& output);

    // Whether the table is redrawn in place: never for scripts, nor where
    // traces on the same terminal would tear it.
    bool Redraws() const { return redraws_; }
    // The terminal's width and height in characters; 80 by 24 where it
    // does not say.
    void Size(int* width, int* height) const;
    // The lines over the ones drawn before, what is left of those cleared.
    void Draw(const std::vector<std::string>& lines);
    // A line after the ones before.
    void Line(const std::string& line);

private:
    FILE* out_;
    bool redraws_;
    int drawn_ = 0;
};

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_LIVE_VIEW_H
