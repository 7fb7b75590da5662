// A listening adapter's view of a PCON_NET line: the byte stream cut into
// frames, and requests paired with the replies that follow them. Only what
// was on the line counts: nothing here writes to it.
//
//   FrameSplitter splitter(gapUs);   LinePairer pairer(lateUs);
//   splitter.Feed(bytes, nowUs);     // as they are read, stamped on arrival
//   while (splitter.Next(&frame)) pairer.Add(frame);
//   while (pairer.Next(&pair)) ...  // shown, logged, counted
#ifndef KIVHOST_FRAME_SPLITTER_H
#define KIVHOST_FRAME_SPLITTER_H

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "wire/pcon_frame.h"

namespace kivhost {

// What ended a frame.
enum class FrameEnd {
    Cr,          // its CR, as it should
    Gap,         // the line went quiet for longer than the gap: the CR was lost
    NextFrame,   // a "/" began the next frame: the CR was lost
    Overlong,    // longer than any frame of this protocol
    EndOfInput,  // the input ended
};

struct LineFrame {
    std::string bytes;     // CR included when it ended the frame
    uint64_t startUs = 0;  // when its first byte arrived
    uint64_t endUs = 0;    // when its last byte arrived
    // Bytes between frames that do not start with "/": noise, or a reply
    // at another line format.
    bool garbage = false;
    FrameEnd end = FrameEnd::Cr;
};

class FrameSplitter {
public:
    // A frame ends at its CR, at a "/" (which only ever starts a frame), or
    // when no byte has come for longer than gapUs.
    explicit FrameSplitter(uint64_t gapUs, size_t maxFrame = 2048);

    // Bytes as they were read, all stamped with the time of the read
    // (monotonic, in microseconds).
    void Feed(std::string_view bytes, uint64_t timeUs);
    // Nothing came up to nowUs: a frame quiet for longer than the gap ends.
    void Idle(uint64_t nowUs);
    // The end of the input: a frame under way ends.
    void Finish();
    // The watch was stopped: a frame under way was cut by the stop, not by
    // the line, and is dropped. True if there was one.
    bool Drop();

    bool Next(LineFrame* frame);

private:
    void End(FrameEnd end);

    uint64_t gapUs_;
    size_t maxFrame_;
    bool open_ = false;
    LineFrame frame_;
    std::deque<LineFrame> done_;
};

// Flags of a LinePair.
enum : uint32_t {
    PAIR_BAD_REQUEST_CHECKSUM = 1u << 0,  // missing or wrong, or no request of this protocol at all
    PAIR_NO_REQUEST = 1u << 1,            // a reply with no request before it
    PAIR_LATE = 1u << 2,                  // the reply began later than the late threshold after the request
    PAIR_ANSWERED_AGAIN = 1u << 3,        // a further reply to a request already answered
    PAIR_GARBAGE = 1u << 4,               // garbage, alone or where the reply should be
    PAIR_NO_CR = 1u << 5,                 // the request or reply ended without its CR
};

// One request with its first reply, or with none; a further reply to it; a
// reply without a request; or garbage between frames.
struct LinePair {
    bool hasRequest = false;
    LineFrame requestFrame;
    PconRequest request;

    bool hasReply = false;
    LineFrame replyFrame;  // or the garbage, with PAIR_GARBAGE
    PconReply reply;

    // As the driver would judge the attempt; no-reply when the next request
    // (or the end) came first.
    Outcome outcome = Outcome::NoReply;
    int attempt = 0;         // 1 to 4 within its exchange, numbered as the driver makes them
    uint64_t latencyUs = 0;  // from the request's last byte to the reply's first
    uint32_t flags = 0;
};

class LinePairer {
public:
    explicit LinePairer(uint64_t lateUs) : lateUs_(lateUs) {}

    // Frames in the order they were on the line.
    void Add(const LineFrame& frame);
    // The end of the input: a request still waiting has had no reply.
    void Finish();
    // A request still waiting is not judged: the stop cut what followed it.
    void Forget() { waiting_ = false; }

    // Each request comes out once, when its first reply came or the next
    // request did; further replies, lone replies and garbage as they come.
    bool Next(LinePair* pair);

private:
    void AddRequest(const LineFrame& frame);
    void AddReply(const LineFrame& frame);
    void Unanswered();

    uint64_t lateUs_;
    bool waiting_ = false;   // the last request has had no reply yet
    bool answered_ = false;  // the last request has had one
    LinePair last_;          // the last request, with its first reply once it came
    AttemptCounter counter_;
    std::deque<LinePair> done_;
};

}  // namespace kivhost

#endif  // KIVHOST_FRAME_SPLITTER_H
