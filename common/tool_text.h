// Text for people: code page 437 shown as UTF-8, printf into a string,
// names of the driver's results and stations, text cut to a width. JSON and time stamps have
// their own files (json_object.h, time_stamp.h).
#ifndef DAVODEV_KIVHOST_TEXT_H
#define DAVODEV_KIVHOST_TEXT_H

#include <cstdint>
#include <string>
#include <string_view>

#include "host_api/davodev.h"

namespace kivhost {

// For display only: the driver's texts themselves stay in code page 437.
// Line feeds and tabs pass; other control bytes are shown as "\xNN".
std::string Cp437ToUtf8(std::string_view bytes);

// The banner's line that states the driver's version, without its frame and
// the spaces around it; empty if there is none.
std::string BannerVersionLine(const char* banner);

// printf's text as a string.
std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A station as people are shown it: its number and the two hex digits an
// address writes it with, "10 (0A)".
std::string StationText(int station);

// "SUCCESS", "REJECTED", "RECOVERY_ERROR", or the number.
std::string ResultName(int32_t result);

// The text in at most width characters (code points), for a terminal: a
// longer one keeps its first width - 1 and ends in CUT_MARK. Bytes that are
// not UTF-8, and control characters, become "?": a terminal would show
// them in a width of its own, or act on them.
constexpr std::string_view CUT_MARK = "\u2026";  // ...
std::string Cut(std::string_view utf8, size_t width);
// Cut, and padded with spaces to width: a column.
std::string Fit(std::string_view utf8, size_t width);

// Where the text first holds a byte that Cut would show as "?" (not UTF-8,
// or a control character; a tab passes when tabs is true); npos if none.
size_t FirstUnprintable(std::string_view utf8, bool tabs);
// The text whole for a terminal, those bytes shown as "\xNN": a message
// that quotes what it was given keeps what the bytes were.
std::string Printable(std::string_view utf8);

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_TEXT_H
