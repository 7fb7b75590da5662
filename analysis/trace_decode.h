// What kivhost decode and kivhost monitor show of an exchange attempt, from
// a driver's trace or from the line itself: the request taken apart, its
// checksum, the reply, the attempt within its exchange and the verdict; as a
// line for people, a JSON object or a CSV row for scripts; and the tally per
// station that ends a run.
//
//   AttemptNotes notes;  LineTally tally;
//   AttemptView view = ViewOf(traceAttempt);   // or ViewOf(linePair, originUs)
//   notes.Judge(&view);  tally.Add(view);
//   puts(AttemptLine(view)); ...; tally.Finish(); puts(tally.Table(...))
#ifndef DAVODEV_KIVHOST_TRACE_DECODE_H
#define DAVODEV_KIVHOST_TRACE_DECODE_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "exchange_report.h"
#include "frame_splitter.h"
#include "pcon_frame.h"
#include "trace_reader.h"

namespace kivhost {

using Json = nlohmann::ordered_json;

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
    // Set by AttemptNotes: a whole reply whose checksum breaks the rule of
    // requests (the driver does not check it; kivhost points it out).
    bool replyChecksumSuspect = false;

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

// Notes that depend on what came before: a good reply's checksum that
// breaks the rule, pointed out as kivhost's other commands do.
class AttemptNotes {
public:
    void Judge(AttemptView* view);

private:
    ChecksumTrust checksums_;
};

// "4660 (0x1234)" for a word, "1" for a bit.
std::string ValueText(uint16_t value, bool bit);

// One line, no line feed: on the line led by the time and followed by the
// latency.
std::string AttemptLine(const AttemptView& view);

// The keys station, command, address, count, attempt, outcome,
// request_checksum_ok and values (a read's, when it was answered well),
// with more beside them; time and latency_ms on the line. utcAtOrigin is
// the wall-clock time of the start of the watch in microseconds since 1970,
// for "utc" (0: none).
Json AttemptJson(const AttemptView& view, int64_t utcAtOriginUs = 0);

// CSV: the header, and one row per attempt with the same fields.
std::string CsvHeader();
std::string AttemptCsv(const AttemptView& view, int64_t utcAtOriginUs = 0);

// ISO 8601 UTC with microseconds, e.g. 2026-12-07T22:13:37.123456Z.
std::string IsoUtc(int64_t unixUs);

// What a run saw, per station: exchanges (an exchange ends with a good
// attempt or its fourth), attempts and their failures by reason, replies,
// latencies; and the line's own flags.
class LineTally {
public:
    struct Station {
        uint64_t exchanges = 0;
        uint64_t failedExchanges = 0;  // ended without a good attempt
        uint64_t attempts = 0;
        uint64_t replies = 0;  // attempts that got anything back
        std::map<Outcome, uint64_t> failures;
        uint64_t maybeLate = 0;
        std::vector<uint64_t> latenciesUs;
    };
    struct LineFlags {
        uint64_t badRequestChecksum = 0;
        uint64_t replyWithoutRequest = 0;
        uint64_t late = 0;
        uint64_t answeredAgain = 0;
        uint64_t garbage = 0;
        uint64_t noCr = 0;
    };

    void Add(const AttemptView& view);
    // Ends the exchanges still open: after the last attempt of a run.
    void Finish();

    const std::map<int, Station>& Stations() const { return stations_; }
    const LineFlags& Flags() const { return flags_; }

    // The table for people; withLine adds requests, replies, latencies and
    // the line's flags, as the monitor sees them.
    std::string Table(bool withLine) const;
    Json ToJson(bool withLine) const;

    // Nearest rank of the sorted latencies; p in 0 to 100.
    static uint64_t Percentile(std::vector<uint64_t> values, double p);

private:
    void CloseExchange();

    std::map<int, Station> stations_;
    LineFlags flags_;
    bool open_ = false;  // an exchange is under way
    int openStation_ = -1;
    bool openGood_ = false;
};

// kivhost decode: a captured trace fed in pieces of any size, each attempt
// written as a line (or a JSON object) as soon as its verdict is known, and
// the summary per station at the end.
class TraceDecoder {
public:
    TraceDecoder(bool json, std::string* out) : json_(json), out_(out) {}

    void Feed(std::string_view text);
    // The end of the trace: the last attempts, then the summary.
    void Finish();
    uint64_t Attempts() const { return attempts_; }

private:
    void Drain();

    bool json_;
    std::string* out_;
    TraceReader reader_{TraceOutput::Attempts};
    AttemptNotes notes_;
    LineTally tally_;
    uint64_t attempts_ = 0;
};

// The outcomes a failed attempt can have, in the order tables show them.
const std::vector<Outcome>& FailureOutcomes();

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_TRACE_DECODE_H
