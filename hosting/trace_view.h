// The driver's traces and log lines as --trace shows them.
//
// Text and hex: one line per frame as a serial monitor shows it, the time in
// ms since kivhost started, TX or RX, the frame whole (however the driver's
// trace split it), CR as \r, other control bytes as \xNN, bytes the trace
// could not show as \x??; hex adds the bytes under it. A frame is sent at
// the time of the driver's "bytes will be send" log line, which comes just
// before it; a reply is shown when the driver has read it, with why an
// attempt failed. The driver's log lines are marked "log" and its level.
//   12.418  TX      /01RW0010022D\r
//   13.092  RX      /A01RW1234ABCDE7\r
//   13.120  log 16  REVIZ: 14 bytes will be send
// Raw: the driver's own lines as it printed them ("trace| ", "log 16| ").
#ifndef DAVODEV_KIVHOST_TRACE_VIEW_H
#define DAVODEV_KIVHOST_TRACE_VIEW_H

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/trace_reader.h"
#include "common/output_file.h"

namespace kivhost {

// How --trace shows the driver's traces: off; readable, one line per frame;
// the same with the bytes in hex too; the driver's own printed form.
enum class TraceMode { Off, Text, Hex, Raw };

class TraceView {
public:
    // out: standard error or the trace file; not closed here. What a call
    // of the driver shows goes out whole lines at once.
    TraceView(TraceMode mode, OutputFile* out);

    // What the driver printed since the last piece, in order.
    void Driver(std::string_view text);
    // A line of the host log.
    void Log(int32_t level, std::string_view text);
    // A call of the driver has returned: everything it did is shown.
    void CallEnded();

private:
    double Now() const;
    void Line(double ms, const std::string& tag, const std::string& text);
    void ShowAttempts();
    void ShowHeld();
    void Flush();

    TraceMode mode_;
    OutputFile* out_;
    std::string text_;  // lines not yet written
    std::chrono::steady_clock::time_point start_;
    std::string pending_;  // raw: a line not yet ended
    TraceReader reader_{TraceOutput::Attempts};
    std::deque<double> sent_;  // when each frame not yet shown went out
    // Log lines that came while a frame was under way, shown after it.
    struct HeldLog {
        double ms;
        int32_t level;
        std::string text;
    };
    std::vector<HeldLog> held_;
};

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_TRACE_VIEW_H
