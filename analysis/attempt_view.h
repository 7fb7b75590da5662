// An exchange attempt as kivhost decode and kivhost monitor show it, from a
// driver's trace or from the line itself: the request taken apart, the
// reply, the attempt within its exchange and the verdict, with the notes
// that depend on what came before.
//
//   AttemptNotes notes;
//   AttemptView view = ViewOf(traceAttempt);   // or ViewOf(linePair)
//   notes.Judge(&view);
#ifndef DAVODEV_KIVHOST_ATTEMPT_VIEW_H
#define DAVODEV_KIVHOST_ATTEMPT_VIEW_H

#include <cstdint>
#include <string>
#include <vector>

#include "analysis/frame_splitter.h"
#include "analysis/reply_judgement.h"
#include "analysis/trace_reader.h"
#include "wire/pcon_frame.h"

namespace kivhost {

// One attempt, or on the line also a reply that answers none, or garbage.
struct AttemptView {
    uint64_t exchange = 0;  // the trace's number of its exchange; 0 on the line
    int attempt = 0;        // 1 to 4 within its exchange; 0 without a request
    bool hasRequest = false;
    std::string requestBytes;
    PconRequest request;
    bool hasReply = false;  // anything came back
    std::string replyBytes;
    // From a trace: false where a zero byte hid a byte. Empty: all known.
    std::vector<bool> replyShown;
    PconReply reply;
    Outcome outcome = Outcome::NoReply;
    // The reply may answer an earlier request (the protocol carries no
    // request number): it came after a time-out on the same station (trace),
    // or later than the late threshold (line).
    bool maybeLate = false;
    // From a trace: the reply began with this many bytes of the rest of an
    // earlier reply, arrived late; outcome is of the bytes after them.
    size_t lateRest = 0;
    // Set by AttemptNotes: a whole reply whose checksum breaks the rule of
    // requests (the driver does not check it; kivhost points it out), and
    // what kivhost holds against a reply the driver took (reply_judgement.h).
    bool replyChecksumSuspect = false;
    Doubt doubt = Doubt::None;

    // On the line only.
    bool timed = false;
    uint64_t timeUs = 0;     // its first frame's first byte, from the start of the watch
    uint64_t latencyUs = 0;  // from the request's last byte to the reply's first
    uint32_t flags = 0;      // PAIR_ flags of frame_splitter.h

    // The station it concerns: the request's, else the reply's echo; -1 when neither tells.
    int Station() const;
    // An attempt of the host's (a request went out), as opposed to a further
    // reply, a reply without a request or garbage.
    bool IsAttempt() const;
};

AttemptView ViewOf(const TraceAttempt& attempt);
AttemptView ViewOf(const LinePair& pair);

// Notes that depend on what came before: a good reply judged as kivhost's
// other commands judge it, its checksum by the station's replies before.
class AttemptNotes {
public:
    void Judge(AttemptView* view);

private:
    ReplyJudge judge_;
};

// "2 (02)", or "--" where nothing told the station.
std::string StationOrNone(int station);

// Microseconds as milliseconds to two places, "1.25": latencies for people.
std::string MsText(uint64_t us);

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_ATTEMPT_VIEW_H
