#include "analysis/line_tally.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <utility>

#include "common/tool_text.h"

namespace kivhost {
namespace {

// The doubts counted apart, after the failed outcomes.
constexpr Doubt DOUBTS_SHOWN[] = {Doubt::BadData, Doubt::LateReply};

std::string Padded(const std::string& text, size_t width)
{
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

}  // namespace

const std::vector<Outcome>& FailureOutcomes()
{
    static const std::vector<Outcome> OUTCOMES = {Outcome::NoReply,      Outcome::Short,   Outcome::Nak,
                                                  Outcome::WrongStation, Outcome::Garbled, Outcome::NotSent};
    return OUTCOMES;
}

void LineTally::Add(const AttemptView& view)
{
    if (view.flags & PAIR_NO_REQUEST)
        ++flags_.replyWithoutRequest;
    if (view.flags & PAIR_LATE)
        ++flags_.late;
    if (view.flags & PAIR_ANSWERED_AGAIN)
        ++flags_.answeredAgain;
    if (view.flags & PAIR_GARBAGE)
        ++flags_.garbage;
    if (view.flags & PAIR_NO_CR)
        ++flags_.noCr;
    if (!view.IsAttempt())
        return;
    // The request's own flag, once per attempt.
    if (view.flags & PAIR_BAD_REQUEST_CHECKSUM)
        ++flags_.badRequestChecksum;

    const int station = view.Station();
    if (!open_ || view.attempt <= 1 || station != openStation_) {
        CloseExchange();
        open_ = true;
        openStation_ = station;
        openGood_ = false;
        ++stations_[station].exchanges;
    }
    Station& s = stations_[station];
    ++s.attempts;
    if (view.hasReply)
        ++s.replies;
    if (view.outcome != Outcome::Good)
        ++s.failures[view.outcome];
    else if (view.doubt == Doubt::OtherStation)
        ++s.failures[Outcome::WrongStation];
    else if (view.doubt != Doubt::None)
        ++s.doubted[view.doubt == Doubt::BadChecksum ? Doubt::BadData : view.doubt];
    if (view.maybeLate)
        ++s.maybeLate;
    if (view.timed && view.hasReply)
        s.latenciesUs.Add(view.latencyUs);
    if (view.outcome == Outcome::Good) {
        openGood_ = JudgedGood(true, view.doubt);
        CloseExchange();
    } else if (view.attempt >= ATTEMPTS_PER_EXCHANGE) {
        CloseExchange();
    }
}

void LineTally::Finish()
{
    CloseExchange();
}

void LineTally::CloseExchange()
{
    if (open_ && !openGood_)
        ++stations_[openStation_].failedExchanges;
    open_ = false;
    openGood_ = false;
}

std::string LineTally::Table(bool withLine) const
{
    bool anyNotSent = false;
    for (const auto& [number, s] : stations_)
        anyNotSent = anyNotSent || s.failures.count(Outcome::NotSent) > 0;

    std::vector<std::string> header = {"station"};
    if (withLine)
        header.insert(header.end(), {"requests", "replies"});
    header.insert(header.end(), {"exchanges", "failed"});
    if (!withLine)
        header.push_back("attempts");
    header.insert(header.end(), {"no reply", "short", "not ack", "wrong station", "garbled"});
    for (Doubt doubt : DOUBTS_SHOWN)
        header.push_back(DoubtText(doubt));
    if (anyNotSent)
        header.push_back("not sent");
    header.push_back("late?");
    if (withLine)
        header.insert(header.end(), {"p50 ms", "p99 ms", "max ms"});

    std::vector<std::vector<std::string>> rows = {header};
    for (const auto& [number, s] : stations_) {
        std::vector<std::string> row = {StationOrNone(number)};
        const auto count = [&row](uint64_t n) { row.push_back(std::to_string(n)); };
        if (withLine) {
            count(s.attempts);
            count(s.replies);
        }
        count(s.exchanges);
        count(s.failedExchanges);
        if (!withLine)
            count(s.attempts);
        for (Outcome outcome : FailureOutcomes()) {
            if (outcome == Outcome::NotSent && !anyNotSent)
                continue;
            const auto it = s.failures.find(outcome);
            count(it == s.failures.end() ? 0 : it->second);
        }
        for (Doubt doubt : DOUBTS_SHOWN)
            count(s.doubted.contains(doubt) ? s.doubted.at(doubt) : 0);
        count(s.maybeLate);
        if (withLine) {
            const bool any = !s.latenciesUs.Empty();
            row.push_back(any ? MsText(s.latenciesUs.Percentile(50)) : "-");
            row.push_back(any ? MsText(s.latenciesUs.Percentile(99)) : "-");
            row.push_back(any ? MsText(s.latenciesUs.Percentile(100)) : "-");
        }
        rows.push_back(row);
    }

    std::vector<size_t> widths(header.size(), 0);
    for (const auto& row : rows)
        for (size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], row[i].size());
    std::string text;
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i)
            line += i == 0 ? row[i] + std::string(widths[i] - row[i].size(), ' ')
                           : std::string(2, ' ') + Padded(row[i], widths[i]);
        text += line + "\n";
    }
    if (stations_.empty())
        text += "(no exchanges)\n";
    text += "failed: exchanges that ended without a good attempt; the reasons count every failed attempt;\n"
            "late?: replies that may answer an earlier request";
    text += withLine ? " (after the late threshold)\n" : " (after a time-out on the same station)\n";
    if (withLine) {
        text +=
            Printf("line: %llu bad request checksums, %llu replies without a request, %llu late replies, "
                   "%llu requests answered again, %llu garbage between frames, %llu frames without their CR\n",
                   static_cast<unsigned long long>(flags_.badRequestChecksum),
                   static_cast<unsigned long long>(flags_.replyWithoutRequest),
                   static_cast<unsigned long long>(flags_.late), static_cast<unsigned long long>(flags_.answeredAgain),
                   static_cast<unsigned long long>(flags_.garbage), static_cast<unsigned long long>(flags_.noCr));
    }
    return text;
}

Json LineTally::ToJson(bool withLine) const
{
    Json stations = Json::array();
    for (const auto& [number, s] : stations_) {
        Json station;
        station["station"] = number >= 0 ? Json(number) : Json();
        station["exchanges"] = s.exchanges;
        station["failed_exchanges"] = s.failedExchanges;
        station["attempts"] = s.attempts;
        if (withLine) {
            station["requests"] = s.attempts;
            station["replies"] = s.replies;
        }
        Json failures = Json::object();
        for (Outcome outcome : FailureOutcomes()) {
            const auto it = s.failures.find(outcome);
            failures[OutcomeName(outcome)] = it == s.failures.end() ? 0 : it->second;
        }
        for (Doubt doubt : DOUBTS_SHOWN)
            failures[ReasonName(Outcome::Good, doubt)] = s.doubted.contains(doubt) ? s.doubted.at(doubt) : 0;
        station["failures"] = failures;
        station["maybe_late"] = s.maybeLate;
        if (withLine) {
            Json latency;
            const bool any = !s.latenciesUs.Empty();
            for (const auto& [name, p] : {std::pair{"p50", 50.0}, {"p99", 99.0}, {"max", 100.0}})
                latency[name] = any ? Json(static_cast<double>(s.latenciesUs.Percentile(p)) / 1000.0) : Json();
            station["latency_ms"] = latency;
        }
        stations.push_back(station);
    }
    Json json;
    json["stations"] = stations;
    if (withLine) {
        json["line"] = {{"bad_request_checksum", flags_.badRequestChecksum},
                        {"reply_without_request", flags_.replyWithoutRequest},
                        {"late", flags_.late},
                        {"answered_again", flags_.answeredAgain},
                        {"garbage", flags_.garbage},
                        {"no_cr", flags_.noCr}};
    }
    return json;
}

}  // namespace kivhost
