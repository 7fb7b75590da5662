// kivhost monitor's work on the bytes of a listening adapter, apart from
// the port: frames split and stamped, requests paired with their replies,
// each attempt shown, logged and counted. Pure: the port is the tap's
// (serial_tap.h), so tests and the benchmark feed it the same way.
#ifndef DAVODEV_KIVHOST_LINE_MONITOR_H
#define DAVODEV_KIVHOST_LINE_MONITOR_H

#include <cstdint>
#include <cstdio>
#include <string_view>

#include "analysis/attempt_view.h"
#include "analysis/frame_splitter.h"
#include "analysis/line_tally.h"
#include "common/output_file.h"

namespace kivhost {

struct MonitorSettings {
    uint64_t gapUs = 50000;     // a frame whose CR was lost ends after this much quiet
    uint64_t lateUs = 1000000;  // a reply later than this after its request is flagged
};

// Where the attempts go, each as it is known; any may be null. The lines
// known at once go into each log in one write: a kill leaves whole lines.
// A failed write stops the watch (RequestStop); the caller names it.
struct MonitorOutputs {
    FILE* text = nullptr;  // a line per attempt, for people
    OutputFile* jsonl = nullptr;
    OutputFile* csv = nullptr;  // its header is the opener's (CsvHeader)
    int64_t utcAtOriginUs = 0;  // wall clock at time 0, microseconds since 1970; 0: no "utc"
};

class LineMonitor {
public:
    LineMonitor(const MonitorSettings& settings, const MonitorOutputs& outputs);

    // Bytes as they were read, all stamped with the time of the read in
    // microseconds since the start of the watch (a monotonic clock).
    void Feed(std::string_view bytes, uint64_t timeUs);
    // Nothing came up to nowUs: a frame quiet for longer than the gap ends.
    void Idle(uint64_t nowUs);
    // The end of the watch: what is under way is judged as far as it went.
    void Finish();
    // Ctrl-C ended the watch: as Finish, but a frame under way was cut by the
    // stop, not by the line; it is dropped, with the request it may answer,
    // so the stop is not counted as a short reply or a missing CR.
    void Stop();

    const LineTally& Tally() const { return tally_; }
    uint64_t Frames() const { return frames_; }
    uint64_t Attempts() const { return attempts_; }

    // The per-station table and the line's flags.
    std::string Summary() const { return tally_.Table(true); }

private:
    void Drain();

    FrameSplitter splitter_;
    LinePairer pairer_;
    AttemptNotes notes_;
    LineTally tally_;
    MonitorOutputs outputs_;
    uint64_t frames_ = 0;
    uint64_t attempts_ = 0;
};

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_LINE_MONITOR_H
