// Replies put on the line as their faults shaped them: after their delay,
// piece by piece with pauses between, and on a paced line (--pace, or the
// Pace fault) each byte when a real line would have finished carrying it.
// The queue only says when it next has work, so the serving thread keeps
// reading the line while replies wait.
#ifndef DAVODEV_PLCSIM_REPLY_PACING_H
#define DAVODEV_PLCSIM_REPLY_PACING_H

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/number_rules.h"
#include "sim/faults.h"

namespace plcsim {

using Clock = std::chrono::steady_clock;

// Bit times of one character at the rate, rounded to the nanosecond.
std::chrono::nanoseconds CharTime(const CharFormat& format, int baud);

struct SentReply {
    int station = -1;
    std::vector<FaultKind> faults;
    std::string bytes;        // what went out
    Clock::time_point start;  // the first byte written, or the give-up
    Clock::time_point end;    // the last byte written, or the give-up
    bool started = false;     // a byte went out
    bool whole = true;        // false: cut short by a stop or a failing line
};

// Replies never interleave on the line: one starts when its delay is over
// and no other reply is going out, and holds the line through its pauses to
// its last byte. Replies due at once go in the order their requests came;
// a late reply therefore follows the replies that fell due before it.
class ReplyQueue {
public:
    // write puts bytes on the line, false when the line fails or a stop is
    // asked for.
    using Write = std::function<bool(std::string_view)>;

    explicit ReplyQueue(std::chrono::nanoseconds charTime) : charTime_(charTime) {}

    // The delay counts from heard, when the request's last byte came in.
    void Add(const Delivery& delivery, int station, const std::vector<FaultKind>& faults, Clock::time_point heard);
    // When Send next has something to do; empty when nothing waits.
    std::optional<Clock::time_point> NextDue() const;
    // Writes whatever is due, and returns the replies finished: whole, or
    // cut short by a failing write.
    std::vector<SentReply> Send(const Write& write);
    // Ends every waiting reply where it stands, as a stop does.
    std::vector<SentReply> Abandon();

private:
    struct Pending {
        Delivery delivery;
        Clock::time_point due;  // the next piece, or on a paced line the next byte
        size_t piece = 0;
        size_t at = 0;  // bytes of the piece written
        bool inPiece = false;
        SentReply sent;
    };

    // Moves the reply first due to the front once it is due; false when none is.
    bool TakeLine(Clock::time_point now);
    // Writes what of the front reply is due; true when it is finished.
    bool Advance(Pending& reply, const Write& write);

    const std::chrono::nanoseconds charTime_;
    std::vector<Pending> replies_;
    bool onLine_ = false;  // the front reply has started and holds the line
};

}  // namespace plcsim

#endif  // DAVODEV_PLCSIM_REPLY_PACING_H
