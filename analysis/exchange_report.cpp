#include "exchange_report.h"

#include <nlohmann/json.hpp>

#include "byte_text.h"
#include "json_object.h"
#include "tool_text.h"

namespace kivhost {
namespace {

// How much of a reply a message quotes.
constexpr size_t REPLY_START_SHOWN = 12;

// Another station's digits in a reply, to a read or to a write.
constexpr const char* SHARED_NUMBER_ADVICE =
    "two PLCs on the line may share a station number, or the PLC is not set to the number in the address";

bool HasReply(Outcome outcome)
{
    return outcome != Outcome::NoReply && outcome != Outcome::NotSent;
}

}  // namespace

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
        if (attempt.followsTimeout && HasReply(attempt.outcome))
            report.possiblyLate = true;
    }
    const TraceAttempt& last = exchange.attempts.back();
    report.answeringStation = last.reply.stationEcho;
    report.received = last.replyBytes.size();
    report.expected = last.request.valid ? last.request.ReplyLength() : 0;
    report.replyStart = VisibleBytes(last.replyBytes, {}, REPLY_START_SHOWN);
    if (report.outcome != Outcome::Good || !last.request.valid || !last.reply.complete)
        return report;

    // The driver reads non-hex digits as 0xFFFF and judges a write's reply
    // by its "A" alone; kivhost holds both against the reply.
    if (last.request.IsRead() && !last.reply.dataOk) {
        report.doubt = Doubt::BadData;
        const size_t data = report.expected - REPLY_OVERHEAD;
        report.replyData = VisibleBytes(last.replyBytes.substr(REPLY_DATA_START, data), {}, REPLY_START_SHOWN);
    } else if (!last.request.IsRead() && !last.reply.stationMatches) {
        report.doubt = Doubt::OtherStation;
    }
    if (report.doubt != Doubt::None) {
        // A damaged or stray reply tells nothing of how the station sums.
        report.checksumSuspect = !last.reply.checksumOk;
        return report;
    }
    const int station = last.request.station;
    report.checksumSuspect = checksums_.Suspect(station, last.reply.checksumOk);
    if (checksums_.JustTrusted(station))
        report.checksumUnused = station;
    return report;
}

bool ChecksumTrust::Suspect(int station, bool checksumOk)
{
    // After a few replies that all break the rule the station is taken to
    // sum in its own way; one that keeps it makes every break count.
    Checksums& sums = stations_[station];
    if (checksumOk) {
        ++sums.matched;
        return false;
    }
    ++sums.mismatched;
    return sums.matched > 0 || sums.mismatched <= CHECKSUM_FLAGS_BEFORE_TRUST;
}

bool ChecksumTrust::JustTrusted(int station) const
{
    const auto found = stations_.find(station);
    return found != stations_.end() && found->second.matched == 0 &&
           found->second.mismatched == CHECKSUM_FLAGS_BEFORE_TRUST + 1;
}

const char* ReasonName(const ExchangeReport& report)
{
    switch (report.doubt) {
    case Doubt::BadData: return "bad-data";
    case Doubt::OtherStation: return OutcomeName(Outcome::WrongStation);
    case Doubt::None: break;
    }
    return OutcomeName(report.outcome);
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
    std::vector<std::pair<Outcome, int>> counts;
    for (Outcome outcome : report.outcomes) {
        if (outcome == Outcome::Good)
            continue;
        bool found = false;
        for (auto& [seen, n] : counts)
            if (seen == outcome) {
                ++n;
                found = true;
            }
        if (!found)
            counts.emplace_back(outcome, 1);
    }
    std::string out = std::to_string(report.Attempts()) + " attempts";
    if (counts.empty() || (counts.size() == 1 && counts.front().second == report.Attempts()))
        return out;  // all alike: the reason says the rest
    out += " (";
    for (size_t i = 0; i < counts.size(); ++i)
        out += (i > 0 ? ", " : "") + std::to_string(counts[i].second) + " " + OutcomeText(counts[i].first);
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
        head = "no reply from " + who + " to the " + what + ": " + attempts + ", nothing within " +
               std::to_string(timeoutMs) + " ms of each";
        advice = "check that a PLC with this station number is on the line and powered, the cable, and that --baud and "
                 "--format match the PLC";
        break;
    case Outcome::Short:
        head = "short reply from " + who + " to the " + what + ": " + attempts + ", the last " +
               std::to_string(report.received) + " of " + std::to_string(report.expected) + " characters";
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
        if (report.doubt == Doubt::BadData) {
            head = "the reply of " + who + " to the " + what + " came with damaged data (\"" + report.replyData +
                   "\": characters this operand's data cannot hold), so no value is given";
            advice = "noise on the line or a faulty station: check the cable, its screen and earthing, then --baud and "
                     "--format";
        } else if (report.doubt == Doubt::OtherStation) {
            head = "the " + what + " was acknowledged by " +
                   (report.answeringStation >= 0 ? "station " + StationText(report.answeringStation)
                                                 : std::string("another station")) +
                   ", not " + who + ": the write may not have reached " + who;
            advice = SHARED_NUMBER_ADVICE;
        } else {
            return {};
        }
        break;
    }
    std::string message = head + "; " + advice;
    if (report.possiblyLate)
        message += "; a reply came after a time-out and may have answered the request before it: raise --timeout";
    return message;
}

std::string SuccessNotes(const ExchangeReport& report)
{
    std::string notes;
    if (report.possiblyLate)
        notes += "possibly a late answer: an attempt before it to the station timed out, and the protocol carries no "
                 "request "
                 "number; raise --timeout";
    if (report.checksumSuspect)
        notes += std::string(notes.empty() ? "" : "; ") +
                 "checksum? the reply does not end in the checksum of the request rule";
    return notes;
}

std::string OutcomesJson(const ExchangeReport& report)
{
    Json names = Json::array();
    for (Outcome outcome : report.outcomes)
        names.push_back(OutcomeName(outcome));
    return JsonText(names);
}

}  // namespace kivhost
