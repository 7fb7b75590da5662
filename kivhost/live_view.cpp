#include "live_view.h"

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

LiveView::LiveView(const Options& options, DriverOutput& output)
    : out_(output.Results()),
      redraws_(!options.json && !(options.trace != TraceMode::Off && options.traceFile.empty()) && CanRedraw(output))
{
}

void LiveView::Size(int* width, int* height) const
{
    *width = 80;
    *height = 24;
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
}

void LiveView::Draw(const std::vector<std::string>& lines)
{
    if (drawn_ > 0)
        std::fprintf(out_, "\x1b[%dA\r", drawn_);
    for (const std::string& line : lines)
        std::fprintf(out_, "%s\x1b[K\n", line.c_str());
    std::fprintf(out_, "\x1b[J");
    std::fflush(out_);
    drawn_ = static_cast<int>(lines.size());
}

void LiveView::Line(const std::string& line)
{
    std::fprintf(out_, "%s\n", line.c_str());
    std::fflush(out_);
}

}  // namespace kivhost
