// The driver's byte traces read back: the "REVIZ: N bytes will be send" and
// "REVIZ: N bytes received" lines with the "(...)" lines under them, turned
// into the attempts and exchanges they record, each with its verdict. Any
// other text among them (a host's own output) is passed over.
//
// The printed form hides things, which are put back where the frame form
// allows: the byte lines are 33 bytes each, so a dump is reassembled from
// the byte count; a zero byte cuts a line's text short, so the bytes after
// it in that line are known to exist but not what they were; CR is shown as
// "." and is restored as the last byte of a request and of a whole reply.
//
// One call of the driver:   for (const TraceExchange& e : ReadTrace(text)) ...
// A captured stream:        TraceReader reader;
//                           reader.Feed(chunk); while (reader.NextAttempt(&a)) ...
//                           reader.Finish(); ... while (reader.NextExchange(&e)) ...
#ifndef KIVHOST_TRACE_READER_H
#define KIVHOST_TRACE_READER_H

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "wire/pcon_frame.h"

namespace kivhost {

struct TraceAttempt {
    std::string requestBytes;  // as sent, CR restored
    // Both receptions joined. Bytes the trace could not show (after a zero
    // byte in the same line) are zero here and false in replyShown.
    std::string replyBytes;
    std::vector<bool> replyShown;
    std::vector<uint32_t> receptions;  // the count of each "bytes received" line: none, one or two

    PconRequest request;  // decoded from requestBytes
    PconReply reply;      // decoded from replyBytes against the request
    Outcome outcome = Outcome::NotSent;
    int attempt = 0;        // 1 to 4 within its exchange
    uint64_t exchange = 0;  // number of its exchange, from 1 for the reader's first
    // The attempt before it to the same station ended in a time-out (no
    // reply, or short): a reply may be that one's, late, since the protocol
    // carries no request number. Kept across Finish for a reader fed call
    // after call.
    bool followsTimeout = false;
    // The first lateRest reply bytes are the rest of the reply an earlier
    // attempt began to read and left when its time-out ended it or its
    // header was refused: they arrived late, before anything of this
    // attempt's own. outcome and reply are of the bytes after them.
    size_t lateRest = 0;
    // That earlier reply, its start and its rest joined, when it began in
    // this exchange: for the exchange's verdict, what its station said.
    std::string lateReply;
    // The station asked by the request whose replies the late rest carries
    // on, when that was another request: -1 otherwise. The line had not gone
    // quiet since, so every byte of the attempt is taken for that request's
    // (lateRest is all of them): bytes that name this station there are the
    // rest of another's queue of replies, not an answer.
    int restStation = -1;

    // The bytes after the late rest: what the station said to this attempt.
    std::string_view OwnReply() const { return std::string_view(replyBytes).substr(lateRest); }
};

struct TraceExchange {
    uint64_t number = 0;
    std::vector<TraceAttempt> attempts;
    // Of the last attempt: good, or why the exchange failed in the end.
    Outcome outcome = Outcome::NotSent;

    const PconRequest& Request() const { return attempts.front().request; }
    int AttemptsUsed() const { return static_cast<int>(attempts.size()); }
    bool Good() const { return outcome == Outcome::Good; }
};

// The longest line a reader keeps whole. The driver's are short; a longer
// one (a log without line ends, a binary file) is not the driver's, and is
// passed over unread so that nothing grows with it.
constexpr size_t TRACE_LONGEST_LINE = 65536;

// What a reader hands out: what nobody takes would pile up.
enum class TraceOutput { Attempts, Exchanges, Both };

class TraceReader {
public:
    explicit TraceReader(TraceOutput output = TraceOutput::Both) : output_(output) {}

    // Text as the driver printed it, in pieces of any size.
    void Feed(std::string_view text);
    // The end of the text: what is pending is judged as far as it goes, and
    // the open exchange ends. The reader can go on with new text after it.
    void Finish();

    // Attempts as soon as their verdict is known, and exchanges once they
    // have ended; each handed out once, in the order of the trace.
    bool NextAttempt(TraceAttempt* attempt);
    bool NextExchange(TraceExchange* exchange);
    // Lines longer than TRACE_LONGEST_LINE passed over so far.
    uint64_t CutLines() const { return cutLines_; }

private:
    enum class Dump { None, Send, Receive };

    void Parse(bool atEnd);
    bool ParseByteLine(bool atEnd);
    void ParseTextLine(std::string_view line);
    void EndDump();
    void Sent(std::string bytes);
    void Received(std::string bytes, std::vector<bool> shown);
    bool Decided() const;
    void CloseAttempt();
    void CloseExchange();
    void TakeLateRest(TraceAttempt& attempt);
    void FollowReply(const TraceAttempt& attempt);

    TraceOutput output_;
    std::string text_;  // not yet taken apart
    size_t at_ = 0;
    size_t searched_ = 0;    // text_ before it holds no line end: each byte is looked at once
    bool afterCr_ = false;   // the last byte fed was a CR: a line feed next ends no other line
    bool skipping_ = false;  // in the rest of a line too long to keep
    uint64_t cutLines_ = 0;

    Dump dump_ = Dump::None;
    uint32_t dumpLeft_ = 0;  // bytes of the dump whose lines are still to come
    std::string dumpBytes_;
    std::vector<bool> dumpShown_;

    bool attemptOpen_ = false;
    TraceAttempt attempt_;
    bool exchangeOpen_ = false;
    TraceExchange exchange_;
    uint64_t exchanges_ = 0;
    AttemptCounter counter_;
    std::map<int, bool> stationTimedOut_;  // by station: its last attempt timed out
    // A reply the last attempt began to read ("/" and no CR since), and the
    // exchange, request and station of the replies it goes with; kept across
    // Finish, as the line goes on.
    std::string openReply_;
    uint64_t openExchange_ = 0;
    std::string openRequest_;
    int openStation_ = -1;

    std::deque<TraceAttempt> doneAttempts_;
    std::deque<TraceExchange> doneExchanges_;
};

// The exchanges in the whole text of one or more calls, e.g. one KivMain call's.
std::vector<TraceExchange> ReadTrace(std::string_view text);

// N of the driver's "REVIZ: N bytes will be send" line, which it prints
// and logs alike just before it sends; -1 for any other line.
long SendLineCount(std::string_view line);

}  // namespace kivhost

#endif  // KIVHOST_TRACE_READER_H
