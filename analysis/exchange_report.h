// What kivhost tells about one read or write from the driver's trace of it:
// the attempts it took, why it failed, and what may be wrong with a reply
// the driver took. The driver does not judge a reply's checksum, and the
// protocol carries no request number; both are kivhost's own diagnostics.
#ifndef DAVODEV_KIVHOST_EXCHANGE_REPORT_H
#define DAVODEV_KIVHOST_EXCHANGE_REPORT_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "analysis/reply_judgement.h"
#include "analysis/trace_reader.h"
#include "wire/pcon_frame.h"

namespace kivhost {

struct ExchangeReport {
    bool traced = false;  // the trace showed the exchange
    // Good when the last attempt was; otherwise the verdict of all the
    // attempts: a refusal seen on any of them, else another station's reply,
    // else the last attempt's own (short when it heard nothing but the
    // station had answered, too late).
    Outcome outcome = Outcome::NotSent;
    std::vector<Outcome> outcomes;  // of each attempt's own reply, in order
    // Per attempt: it began with the rest of an earlier reply, arrived late.
    std::vector<bool> lateRests;
    // The station asked by another request before, whose replies' rest some
    // attempts heard instead of an answer: -1 for none.
    int restFrom = -1;
    // A reply with the addressed station's digits came on some attempt,
    // refused, short or late ones too: the station is there.
    bool stationHeard = false;
    int heardOnAttempt = 0;  // the first attempt that heard it; 0 for none
    // A reply followed a time-out on the same station: it may answer the
    // request before, late.
    bool possiblyLate = false;
    // The reply taken does not end in the checksum of the request rule.
    bool checksumSuspect = false;
    Doubt doubt = Doubt::None;  // of a reply the driver took as good
    // Of a late reply: what it repeats at positions 4 and 5, and what the
    // request's answer would.
    std::string echo;
    std::string expectedEcho;
    // A station whose replies never keep the checksum rule, named on the
    // reply its flags stop: -1 otherwise.
    int checksumUnused = -1;
    int answeringStation = -1;  // wrong-station: the station the reply named
    size_t received = 0;        // of the reply the verdict is about
    size_t expected = 0;        // what the driver waited for
    std::string replyStart;     // the reply the verdict is about, readable, cut short
    std::string replyData;      // a read's data characters in it, readable, cut short

    int Attempts() const { return static_cast<int>(outcomes.size()); }
    int LateRests() const;
    // Good by the driver and by kivhost (JudgedGood).
    bool Good() const { return JudgedGood(outcome == Outcome::Good, doubt); }
    // The exchange ended on a request the port did not take: the port, not
    // the station, failed. Only the last attempt counts: a port that goes
    // while a reply is awaited ends that attempt as a time-out first.
    bool PortRefused() const { return traced && outcome == Outcome::NotSent; }
};

// Keeps, per station, how its replies' checksums went: one reporter for a
// run of kivhost.
class ExchangeReporter {
public:
    // The last exchange among those of one call of the driver.
    ExchangeReport Report(const std::vector<TraceExchange>& exchanges);

private:
    ReplyJudge judge_;
};

// Why a failed or doubted exchange is not good, as JSON and logs name it:
// an outcome's name, "bad-data", "late-reply", or "wrong-station" for a
// write another station acknowledged; "good" otherwise.
const char* ReasonName(const ExchangeReport& report);

// "station 1 (01) does not use this reply checksum: ...", said once, on the
// report whose checksumUnused names the station.
std::string ChecksumNotice(int station);

// "no reply", "short reply", "not acknowledged", "wrong station", "garbled",
// "not sent", "good".
const char* OutcomeText(Outcome outcome);

// "" for one attempt; "2 attempts (1 no reply)" otherwise.
std::string AttemptsText(const ExchangeReport& report);

// The one line that explains a failed exchange, with advice for its case
// only, or why a reply the driver took is doubted. what: "read of 01W0010";
// station: the one addressed.
std::string FailureMessage(const ExchangeReport& report, const std::string& what, int station, uint32_t timeoutMs);

// What the exchange says of the station it asked, for a list of who is on
// the line: "" for an answer at the first attempt; "answered on attempt 2:
// raise --timeout", "refuses this request (...)", or why it did not answer.
std::string StationNote(const ExchangeReport& report);

// The notes on a good exchange, "" if none: a possibly late answer, a
// checksum that does not follow the rule.
std::string SuccessNotes(const ExchangeReport& report);

// The attempts' outcomes by name, for a JSON array.
std::vector<std::string> OutcomeNames(const ExchangeReport& report);

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_EXCHANGE_REPORT_H
