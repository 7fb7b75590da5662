// What a scan says of a tag or an event, in words: its values, why it is
// not good, what to check, what a station did.
#ifndef DAVODEV_KIVHOST_SCAN_MESSAGES_H
#define DAVODEV_KIVHOST_SCAN_MESSAGES_H

#include <chrono>
#include <cstddef>
#include <string>

#include "scan/scan_engine.h"

namespace kivhost {

// A tag's elements in decimal, separated by spaces; empty before its first good read.
std::string ValueText(const TagState& state);
// Failed and down: the reason's name (no-reply, nak, wrong-station, short,
// garbled, not-sent). Bad data: late-reply for a reply of another request.
// Good: the flags, "late?" and "checksum?", if any.
std::string ReasonText(const TagState& state);
// What went wrong with the tag, in one line, with what to check; empty when good.
std::string TagMessage(const ScanEngine& engine, size_t tag);

// One event as a line for people (no time).
std::string EventText(const ScanEngine& engine, const ScanEvent& event);

// "1 tag", "2 tags".
std::string Plural(long long n, const char* one, const char* many);
// How often a station or block set aside is asked again: "1 s", "0.5 s".
std::string RetryWords(const ScanEngine& engine);
std::string RetryWords(std::chrono::milliseconds retry);

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_SCAN_MESSAGES_H
