// A reply put on the line as its faults shaped it: after its delay, piece
// by piece with pauses between, and on a paced line (--pace, or the Pace
// fault) each byte when a real line would have finished carrying it.
#ifndef DAVODEV_PLCSIM_REPLY_PACING_H
#define DAVODEV_PLCSIM_REPLY_PACING_H

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "faults.h"
#include "number_rules.h"
#include "stop_request.h"

namespace plcsim {

// Bit times of one character at the rate, rounded to the nanosecond.
std::chrono::nanoseconds CharTime(const CharFormat& format, int baud);

struct SentReply {
    std::string bytes;        // what went out
    Clock::time_point start;  // the first byte written, or the give-up
    Clock::time_point end;    // the last byte written, or the give-up
    bool started = false;     // a byte went out
    bool whole = true;        // false: cut short by a stop or a failing line
};

// write puts bytes on the line, false when the line fails or a stop is
// asked for; the waits end early on a stop.
SentReply SendReply(const Delivery& delivery, std::chrono::nanoseconds charTime, const StopRequest& stop,
                    const std::function<bool(std::string_view)>& write);

}  // namespace plcsim

#endif  // DAVODEV_PLCSIM_REPLY_PACING_H
