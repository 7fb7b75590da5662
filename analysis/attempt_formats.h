// An attempt written out: as a line for people, a JSON object or a CSV row
// for scripts. kivhost decode writes the first two, kivhost monitor all three.
#ifndef DAVODEV_KIVHOST_ATTEMPT_FORMATS_H
#define DAVODEV_KIVHOST_ATTEMPT_FORMATS_H

#include <cstdint>
#include <string>

#include "analysis/attempt_view.h"
#include "common/json_object.h"

namespace kivhost {

// "4660 (0x1234)" for a word, "1" for a bit.
std::string ValueText(uint16_t value, bool bit);

// One line, no line feed: on the line led by the time and followed by the
// latency.
std::string AttemptLine(const AttemptView& view);

// The keys station, command, address, count, attempt, outcome,
// request_checksum_ok and values (a read's, when it was answered well),
// reason (of a reply the driver took and kivhost doubts: bad-data,
// late-reply, wrong-station), with more beside them; time and latency_ms
// on the line. utcAtOrigin is
// the wall-clock time of the start of the watch in microseconds since 1970,
// for "utc" (0: none).
Json AttemptJson(const AttemptView& view, int64_t utcAtOriginUs = 0);

// CSV: the header, and one row per attempt with the same fields.
std::string CsvHeader();
std::string AttemptCsv(const AttemptView& view, int64_t utcAtOriginUs = 0);

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_ATTEMPT_FORMATS_H
