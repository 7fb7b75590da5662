#include "kivhost/live_view.h"

#include <algorithm>

#include "common/stop_signals.h"
#include "common/tool_text.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif
#else
#include <sys/ioctl.h>
#endif

namespace kivhost {
namespace {

// Cursor movement; Windows consoles need it switched on.
bool CanRedraw(DriverOutput& output)
{
    if (!output.ResultsOnTerminal())
        return false;
#if defined(_WIN32)
    HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(fileno(output.Results())));
    DWORD mode = 0;
    return GetConsoleMode(console, &mode) && SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
#else
    return true;
#endif
}

}  // namespace

std::vector<std::string> ScreenLines(const std::vector<std::string>& lines, int width, int height)
{
    const auto columns = static_cast<size_t>(std::max(width - 1, 1));
    const auto rows = static_cast<size_t>(std::max(height - 1, 1));
    std::vector<std::string> screen;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (screen.size() + 1 == rows && i + 1 < lines.size()) {
            screen.push_back(Cut(std::string(CUT_MARK) + " " + std::to_string(lines.size() - i) +
                                     " more lines: a taller terminal shows them",
                                 columns));
            break;
        }
        screen.push_back(Cut(lines[i], columns));
    }
    return screen;
}

std::string RedrawText(const std::vector<std::string>& screenLines, int drawnBefore, bool resized)
{
    std::string text;
    if (resized)
        text = "\x1b[H\x1b[2J";
    else if (drawnBefore > 0)
        text = "\x1b[" + std::to_string(drawnBefore) + "A\r";
    for (const std::string& line : screenLines)
        text += line + "\x1b[K\n";
    return text + "\x1b[J";
}

LiveView::LiveView(const Options& options, DriverOutput& output)
    : out_(output.Results()),
      redraws_(!options.json && !(options.trace != TraceMode::Off && options.traceFile.empty()) && CanRedraw(output))
{
}

void SaneTerminalSize(int* width, int* height)
{
    *width = *width > 0 ? std::min(*width, LARGEST_TERMINAL) : 80;
    *height = *height > 0 ? std::min(*height, LARGEST_TERMINAL) : 24;
}

void LiveView::Size(int* width, int* height) const
{
    *width = 0;
    *height = 0;
#if defined(_WIN32)
    CONSOLE_SCREEN_BUFFER_INFO info;
    HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(fileno(out_)));
    if (GetConsoleScreenBufferInfo(console, &info)) {
        *width = info.srWindow.Right - info.srWindow.Left + 1;
        *height = info.srWindow.Bottom - info.srWindow.Top + 1;
    }
#else
    winsize size{};
    if (ioctl(fileno(out_), TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0) {
        *width = size.ws_col;
        *height = size.ws_row;
    }
#endif
    SaneTerminalSize(width, height);
}

void LiveView::Draw(const std::vector<std::string>& lines)
{
    int width = 0;
    int height = 0;
    Size(&width, &height);
    const std::vector<std::string> screen = ScreenLines(lines, width, height);
    const bool resized = drawn_ > 0 && (width != width_ || height != height_);
    std::fputs(RedrawText(screen, drawn_, resized).c_str(), out_);
    Sent();
    drawn_ = static_cast<int>(screen.size());
    width_ = width;
    height_ = height;
}

void LiveView::Line(const std::string& line)
{
    std::fprintf(out_, "%s\n", line.c_str());
    Sent();
}

void LiveView::Sent()
{
    // Cycles no one can see are not worth the line's time: the run stops,
    // and the end of the program says why (CloseStream).
    if (std::fflush(out_) != 0 || std::ferror(out_) != 0)
        RequestStop();
}

}  // namespace kivhost
