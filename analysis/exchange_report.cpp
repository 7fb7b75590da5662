#include "analysis/exchange_report.h"

#include <algorithm>

#include "common/byte_text.h"
#include "common/tool_text.h"

namespace kivhost {
namespace {

// How much of a reply a message quotes.
constexpr size_t REPLY_START_SHOWN = 12;

// Another station's digits in a reply, to a read or to a write.
constexpr const char* SHARED_NUMBER_ADVICE =
    "two PLCs on the line may share a station number, or the PLC is not set to the number in the address";

// An attempt that began with the rest of an earlier reply, in a list of
// attempts.
constexpr const char* LATE_REST_TEXT = "with the rest of the previous reply, arrived late";

bool HasReply(Outcome outcome)
{
    return outcome != Outcome::NoReply && outcome != Outcome::NotSent;
}

// A reply an exchange heard: an attempt's own, or an earlier attempt's that
// arrived late and whole only in a later one.
struct Heard {
    std::string_view bytes;
    Outcome outcome = Outcome::NoReply;
};

// Which failure leads the verdict of an exchange: a refusal says most, then
// another station's reply; the rest go by the last attempt.
int Weight(Outcome outcome)
{
    return outcome == Outcome::Nak ? 2 : outcome == Outcome::WrongStation ? 1 : 0;
}

// The station's own digits in a reply of this protocol, however far it got.
bool FromStation(const PconRequest& request, const Heard& heard)
{
    return HasReply(heard.outcome) && heard.outcome != Outcome::Garbled && heard.outcome != Outcome::WrongStation &&
           !request.stationDigits.empty() && heard.bytes.size() >= 4 && heard.bytes[0] == FRAME_START &&
           heard.bytes.substr(2, 2) == request.stationDigits;
}

// The verdict of a failed exchange and the reply it is about.
Heard Verdict(const TraceExchange& exchange, ExchangeReport* report)
{
    Heard leading;
    Heard lastHeard;
    for (const TraceAttempt& attempt : exchange.attempts) {
        const Outcome late =
            attempt.lateReply.empty() ? Outcome::NoReply : JudgeReply(attempt.request, attempt.lateReply);
        for (const Heard heard : {Heard{attempt.lateReply, late}, Heard{attempt.OwnReply(), attempt.outcome}}) {
            if (FromStation(attempt.request, heard)) {
                lastHeard = heard;
                if (!report->stationHeard)
                    report->heardOnAttempt = attempt.attempt;
                report->stationHeard = true;
            }
            if (Weight(heard.outcome) > Weight(leading.outcome))
                leading = heard;
        }
    }
    if (report->outcome == Outcome::Good)
        return {exchange.attempts.back().OwnReply(), Outcome::Good};
    if (Weight(leading.outcome) > 0)
        return leading;
    // An attempt that read nothing but the rest of an earlier reply tells
    // nothing of its own.
    Heard verdict{exchange.attempts.back().OwnReply(), exchange.attempts.back().outcome};
    for (auto it = exchange.attempts.rbegin(); it != exchange.attempts.rend(); ++it) {
        if (it->lateRest == 0 || !it->OwnReply().empty()) {
            verdict = {it->OwnReply(), it->outcome};
            break;
        }
    }
    // The station answered, but too late for the attempts that waited.
    if (verdict.outcome == Outcome::NoReply && report->stationHeard)
        return {lastHeard.bytes, Outcome::Short};
    return verdict;
}

// "what came was the rest of replies to station 2 (02), to another request,
// arrived late": bytes that name a station there are not its answer.
std::string RestFromText(const ExchangeReport& report)
{
    return "what came was the rest of replies to station " + StationText(report.restFrom) +
           ", to another request, arrived late";
}

// The head and advice of a reply the driver took and kivhost doubts; false
// when nothing is doubted.
bool DoubtMessage(const ExchangeReport& report, const std::string& what, const std::string& who, std::string* head,
                  std::string* advice)
{
    const std::string answering = report.answeringStation >= 0 ? "station " + StationText(report.answeringStation)
                                                               : std::string("another station");
    const std::string damaged =
        "noise on the line or a faulty station: check the cable, its screen and earthing, then --baud and --format";
    switch (report.doubt) {
    case Doubt::None: return false;
    case Doubt::BadData:
        *head = "the reply of " + who + " to the " + what + " came with damaged data (\"" + report.replyData +
                "\": characters this operand's data cannot hold), so no value is given";
        *advice = damaged;
        break;
    case Doubt::BadChecksum:
        *head = "the reply of " + who + " to the " + what + " (\"" + report.replyStart +
                "\") does not end in its checksum, which the station's replies kept before: damaged on the way, so "
                "no value is given";
        *advice = damaged;
        break;
    case Doubt::LateReply:
        *head = "the reply to the " + what + " repeats another request (\"" + report.echo + "\" where \"" +
                report.expectedEcho + "\" was asked): the answer to an earlier request, arrived late, so " +
                (what.starts_with("write") ? "the write is not confirmed" : "no value is given");
        *advice = "a station answered after the time-out of an earlier request: raise --timeout";
        break;
    case Doubt::OtherStation:
        *head = "the " + what + " was acknowledged by " + answering + ", not " + who +
                ": the write may not have reached " + who;
        *advice = SHARED_NUMBER_ADVICE;
        break;
    }
    return true;
}

}  // namespace

int ExchangeReport::LateRests() const
{
    return static_cast<int>(std::count(lateRests.begin(), lateRests.end(), true));
}

ExchangeReport ExchangeReporter::Report(const std::vector<TraceExchange>& exchanges)
{
    ExchangeReport report;
    if (exchanges.empty() || exchanges.back().attempts.empty())
        return report;
    const TraceExchange& exchange = exchanges.back();
    report.traced = true;
    report.outcome = exchange.outcome;
    for (const TraceAttempt& attempt : exchange.attempts) {
        report.outcomes.push_back(attempt.outcome);
        report.lateRests.push_back(attempt.lateRest > 0);
        if (attempt.restStation >= 0)
            report.restFrom = attempt.restStation;
        if (attempt.followsTimeout && HasReply(attempt.outcome))
            report.possiblyLate = true;
    }
    const TraceAttempt& last = exchange.attempts.back();
    const Heard verdict = Verdict(exchange, &report);
    const std::string verdictBytes(verdict.bytes);
    report.outcome = verdict.outcome;
    report.answeringStation = DecodeReply(verdictBytes, last.request).stationEcho;
    report.received = verdictBytes.size();
    report.expected = last.request.valid ? last.request.ReplyLength() : 0;
    report.replyStart = VisibleBytes(verdictBytes, {}, REPLY_START_SHOWN);
    if (report.outcome != Outcome::Good || !last.request.valid || !last.reply.complete)
        return report;

    const ReplyJudgement judged = judge_.Judge(last.request, last.reply, last.request.station);
    report.doubt = judged.doubt;
    report.checksumSuspect = judged.checksumSuspect;
    report.checksumUnused = judged.checksumUnused;
    if (report.doubt == Doubt::BadData) {
        const size_t data = report.expected - REPLY_OVERHEAD;
        report.replyData = VisibleBytes(last.replyBytes.substr(REPLY_DATA_START, data), {}, REPLY_START_SHOWN);
    } else if (report.doubt == Doubt::LateReply) {
        report.echo = VisibleBytes(last.reply.echo, {});
        report.expectedEcho = last.request.Echo();
    }
    return report;
}

const char* ReasonName(const ExchangeReport& report)
{
    return ReasonName(report.outcome, report.doubt);
}

std::string ChecksumNotice(int station)
{
    return "station " + StationText(station) + " does not use this reply checksum: none of its " +
           std::to_string(CHECKSUM_FLAGS_BEFORE_TRUST + 1) +
           " replies so far kept the rule of requests, so its replies are no longer flagged checksum?";
}

const char* OutcomeText(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Good: return "good";
    case Outcome::NoReply: return "no reply";
    case Outcome::Short: return "short reply";
    case Outcome::Nak: return "not acknowledged";
    case Outcome::WrongStation: return "wrong station";
    case Outcome::Garbled: return "garbled";
    case Outcome::NotSent: return "not sent";
    }
    return "?";
}

std::string AttemptsText(const ExchangeReport& report)
{
    if (report.Attempts() <= 1)
        return {};
    // Counts by outcome in the order they first happened, good left out.
    // An attempt that began with the rest of an earlier reply is counted as
    // that: what came after it was cut short by the driver's own checks.
    std::vector<std::pair<std::string, int>> counts;
    for (size_t i = 0; i < report.outcomes.size(); ++i) {
        const bool lateRest = i < report.lateRests.size() && report.lateRests[i];
        if (report.outcomes[i] == Outcome::Good && !lateRest)
            continue;
        const std::string text = lateRest ? LATE_REST_TEXT : OutcomeText(report.outcomes[i]);
        bool found = false;
        for (auto& [seen, n] : counts)
            if (seen == text) {
                ++n;
                found = true;
            }
        if (!found)
            counts.emplace_back(text, 1);
    }
    std::string out = std::to_string(report.Attempts()) + " attempts";
    if (counts.empty() || (counts.size() == 1 && counts.front().second == report.Attempts() &&
                           counts.front().first == OutcomeText(report.outcome)))
        return out;  // all alike: the reason says the rest
    out += " (";
    for (size_t i = 0; i < counts.size(); ++i)
        out += (i > 0 ? ", " : "") + std::to_string(counts[i].second) + " " + counts[i].first;
    return out + ")";
}

std::string FailureMessage(const ExchangeReport& report, const std::string& what, int station, uint32_t timeoutMs)
{
    const std::string who = "station " + StationText(station);
    if (!report.traced)
        return "no good reply from " + who + " to the " + what +
               " (RECOVERY_ERROR): check the station number, the cable, and --baud and --format against the PLC";

    const std::string attempts = report.Attempts() == 1 ? "1 attempt" : AttemptsText(report);
    std::string head;
    std::string advice;
    switch (report.outcome) {
    case Outcome::NoReply:
        head = "no reply from " + who + " to the " + what + ": " + attempts + ", nothing" +
               (report.LateRests() > 0 ? " of its own" : "") + " within " + std::to_string(timeoutMs) + " ms of each";
        advice = "check that a PLC with this station number is on the line and powered, the cable, and that --baud and "
                 "--format match the PLC";
        break;
    case Outcome::Short:
        if (report.received < report.expected)
            head = "short reply from " + who + " to the " + what + ": " + attempts + ", the last " +
                   std::to_string(report.received) + " of " + std::to_string(report.expected) + " characters";
        else
            head = who + " answered the " + what + " late, after the time-out of the attempt it answered: " + attempts;
        advice = "a slow station or a line that loses characters: try a longer --timeout, then check the cable";
        break;
    case Outcome::Nak:
        head = who + " did not acknowledge the " + what + " (\"" + report.replyStart + "\"): " + attempts;
        advice = "the station refused the request: check that the address exists in this PLC" +
                 std::string(what.starts_with("write") ? " and may be written" : "");
        break;
    case Outcome::WrongStation:
        head = (report.answeringStation >= 0 ? "station " + StationText(report.answeringStation)
                                             : std::string("another station")) +
               " answered the " + what + " meant for " + who + ": " + attempts;
        advice = SHARED_NUMBER_ADVICE;
        break;
    case Outcome::Garbled:
        head = "no reply of this protocol from " + who + " to the " + what + " (\"" + report.replyStart +
               "\"): " + attempts;
        advice = "--baud and --format (8N1, 7E1, ...) probably do not match the PLC, or the line is noisy";
        break;
    case Outcome::NotSent:
        head = "the port did not take the request for the " + what + ": " + attempts;
        advice = "the adapter may have gone; check it and start again";
        break;
    case Outcome::Good:
        if (!DoubtMessage(report, what, who, &head, &advice))
            return {};
        break;
    }
    std::string message = head + "; " + advice;
    if (report.restFrom >= 0)
        message += "; " + RestFromText(report) + ": the line was still busy with them; see first to station " +
                   StationText(report.restFrom) + ", or raise --timeout";
    else if (report.outcome == Outcome::NoReply && report.LateRests() > 0)
        message += "; the rest of a reply arrived late, in the attempt after it: raise --timeout";
    if (report.possiblyLate)
        message += "; a reply came after a time-out and may have answered the request before it: raise --timeout";
    return message;
}

std::string StationNote(const ExchangeReport& report)
{
    if (!report.traced)
        return {};
    const std::string answered = "answered on attempt " + std::to_string(report.heardOnAttempt);
    switch (report.outcome) {
    case Outcome::Good: {
        if (report.doubt == Doubt::BadData || report.doubt == Doubt::BadChecksum)
            return "answered with damaged data: check the cable, then --baud and --format";
        if (report.doubt == Doubt::LateReply)
            return "answered another request, late: raise --timeout";
        if (report.Attempts() <= 1 && !report.possiblyLate)
            return {};
        const bool slow = report.possiblyLate || report.LateRests() > 0 ||
                          std::any_of(report.outcomes.begin(), report.outcomes.end(),
                                      [](Outcome o) { return o == Outcome::NoReply || o == Outcome::Short; });
        return "answered on attempt " + std::to_string(report.Attempts()) +
               (slow ? ": raise --timeout" : " (" + AttemptsText(report) + ")");
    }
    case Outcome::Nak: return "refuses this request (\"" + report.replyStart + "\", not acknowledged)";
    case Outcome::WrongStation:
        return (report.answeringStation >= 0 ? "station " + StationText(report.answeringStation)
                                             : std::string("another station")) +
               " answered (two stations with one number, or a late answer)";
    case Outcome::Short:
        if (report.stationHeard)
            return answered + ", too late for its attempt: raise --timeout";
        break;
    default:
        if (report.stationHeard)
            return answered + ", then " + OutcomeText(report.outcome);
        break;
    }
    if (report.restFrom >= 0)
        return OutcomeText(report.outcome) + (" (" + RestFromText(report) + ")");
    return OutcomeText(report.outcome);
}

std::string SuccessNotes(const ExchangeReport& report)
{
    std::string notes;
    if (report.possiblyLate)
        notes += "possibly a late answer: an attempt before it to the station timed out, and the protocol carries no "
                 "request "
                 "number; raise --timeout";
    else if (report.LateRests() > 0)
        notes += "an attempt began with the rest of the previous reply, arrived late: raise --timeout";
    if (report.checksumSuspect)
        notes += std::string(notes.empty() ? "" : "; ") +
                 "checksum? the reply does not end in the checksum of the request rule";
    return notes;
}

std::vector<std::string> OutcomeNames(const ExchangeReport& report)
{
    std::vector<std::string> names;
    for (Outcome outcome : report.outcomes)
        names.push_back(OutcomeName(outcome));
    return names;
}

}  // namespace kivhost
