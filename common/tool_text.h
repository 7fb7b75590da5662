// Text for people and for scripts: code page 437 shown as UTF-8, JSON
// strings, names of the driver's results and addresses.
#ifndef DAVODEV_KIVHOST_TEXT_H
#define DAVODEV_KIVHOST_TEXT_H

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "davodev.h"

namespace kivhost {

// For display only: the driver's texts themselves stay in code page 437.
// Line feeds and tabs pass; other control bytes are shown as "\xNN".
std::string Cp437ToUtf8(std::string_view bytes);

// The banner's line that states the driver's version, without its frame and
// the spaces around it; empty if there is none.
std::string BannerVersionLine(const char* banner);

// A JSON string literal, quotes included. The text must be UTF-8.
std::string JsonString(std::string_view utf8);

// A station as people are shown it: its number and the two hex digits an
// address writes it with, "10 (0A)".
std::string StationText(int station);

// Now, as ISO 8601 in UTC with milliseconds: "2024-05-01T12:34:56.789Z".
std::string UtcTimestamp();
// The same of a given time.
std::string UtcTimestamp(std::chrono::system_clock::time_point time);

// "SUCCESS", "REJECTED", "RECOVERY_ERROR", or the number.
std::string ResultName(int32_t result);

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_TEXT_H
