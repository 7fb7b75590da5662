// Where poll and scan show their cycles: on a terminal that can redraw in
// place, a table drawn over the one before; elsewhere (a file, a pipe, a
// script's --json), lines one after the other.
#ifndef DAVODEV_KIVHOST_LIVE_VIEW_H
#define DAVODEV_KIVHOST_LIVE_VIEW_H

#include <cstdio>
#include <string>
#include <vector>

#include "fieldkit/tool_options.h"
#include "hosting/driver_output.h"

namespace kivhost {

// The lines as a redraw shows them on a terminal of width by height: each
// cut to width - 1 characters (a character in the last column makes some
// terminals wrap at once), at most height - 1 of them (one more would
// scroll the screen under the count of lines to go back over), the last
// then saying how many more there are.
std::vector<std::string> ScreenLines(const std::vector<std::string>& lines, int width, int height);
// The size a terminal reports, as the table is drawn for: 80 by 24 for a
// size it does not give (0), at most 500 by 500, since every line is padded
// to the width and a pty may report 65535.
constexpr int LARGEST_TERMINAL = 500;
void SaneTerminalSize(int* width, int* height);
// What a redraw writes: back over the drawnBefore lines drawn before, or
// from the top of a cleared screen after a resize (the old lines may have
// been wrapped since), each line written over the old one and cleared to
// its end, and everything below them cleared.
std::string RedrawText(const std::vector<std::string>& screenLines, int drawnBefore, bool resized);

class LiveView {
public:
    LiveView(const Options& options, DriverOutput& output);

    // Whether the table is redrawn in place: never for scripts, nor where
    // traces on the same terminal would tear it.
    bool Redraws() const { return redraws_; }
    // The terminal's width and height in characters; 80 by 24 where it
    // does not say.
    void Size(int* width, int* height) const;
    // The lines over the ones drawn before, what is left of those cleared;
    // cut to the terminal as ScreenLines cuts them.
    void Draw(const std::vector<std::string>& lines);
    // A line after the ones before.
    void Line(const std::string& line);

private:
    void Sent();  // flushed; a failure stops the run

    FILE* out_;
    bool redraws_;
    int drawn_ = 0;
    int width_ = 0;  // of the terminal at the last drawing
    int height_ = 0;
};

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_LIVE_VIEW_H
