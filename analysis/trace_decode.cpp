#include "trace_decode.h"

#include "byte_text.h"
#include "tool_text.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <initializer_list>
#include <string_view>

namespace kivhost {
namespace {

constexpr size_t VALUES_SHOWN = 8;    // words on a line for people; JSON has them all
constexpr size_t BITS_SHOWN = 32;     // bits, which take less room
constexpr size_t REQUEST_WIDTH = 26;  // the request column, so that the verdicts line up

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string Printf(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, again);
    va_end(again);
    return text;
}

// Pieces joined. (Not "text" + std::string: g++ 12 warns wrongly of
// overlapping copies there, -Wrestrict, when it inlines the insert.)
std::string Cat(std::initializer_list<std::string_view> pieces)
{
    std::string text;
    for (std::string_view piece : pieces)
        text += piece;
    return text;
}

// "2 (02)", or "--" where nothing told the station.
std::string StationOrNone(int station)
{
    return station < 0 ? "--" : StationText(station);
}

std::string Ms(uint64_t us)
{
    return Printf("%.2f", static_cast<double>(us) / 1000.0);
}

// Bytes as JSON text: each byte its own code point (Latin-1), so that any
// byte survives; a byte the trace hid is U+FFFD.
std::string JsonBytes(const std::string& bytes, const std::vector<bool>& shown)
{
    std::string out;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i < shown.size() && !shown[i]) {
            out += "\xEF\xBF\xBD";
            continue;
        }
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

bool IsBitRequest(const PconRequest& request)
{
    return request.IsBitOperand() || request.bit >= 0;
}

std::string ValueList(const std::vector<uint16_t>& values, bool bit)
{
    const size_t shown = std::min(values.size(), bit ? BITS_SHOWN : VALUES_SHOWN);
    std::string text;
    for (size_t i = 0; i < shown; ++i) {
        text += i == 0 ? "" : bit ? " " : ", ";
        text += ValueText(values[i], bit);
    }
    if (shown < values.size())
        text += Cat({" ... (", std::to_string(values.size()), " in all)"});
    return text;
}

// In double quotes, for a terminal.
std::string Quoted(const std::string& bytes, const std::vector<bool>& shown = {})
{
    std::string text(1, '"');
    text += VisibleBytes(bytes, shown);
    text += '"';
    return text;
}

std::string RequestText(const AttemptView& view)
{
    const PconRequest& r = view.request;
    if (!r.valid)
        return Cat({Quoted(view.requestBytes), " (not a request: ", r.error, ")"});
    std::string text = Printf("%-5s ", FrameCommandName(r.command)) + r.Address();
    if (r.command == FrameCommand::Read && r.count != 1)
        text += Printf(" x%d", r.count);
    if (r.command == FrameCommand::Write)
        text += (r.count == 1 ? " = " : Printf(" x%d = ", r.count)) + ValueList(r.values, r.IsBitOperand());
    const char* sum = !r.checksumPresent ? "no sum " : r.checksumOk ? "sum ok " : "sum bad";
    if (text.size() < REQUEST_WIDTH)
        text.resize(REQUEST_WIDTH, ' ');
    return text + " " + sum;
}

std::string ReplyText(const AttemptView& view)
{
    if (!view.hasReply)
        return OutcomeText(view.outcome);
    const PconRequest& r = view.request;
    const std::string bytes = Quoted(view.replyBytes, view.replyShown);
    std::string text = OutcomeText(view.outcome);
    switch (view.outcome) {
    case Outcome::Good:
        if (r.valid && r.IsRead())
            text += Cat({": ", ValueList(view.reply.values, IsBitRequest(r))});
        break;
    case Outcome::WrongStation: text += Cat({": ", StationOrNone(view.reply.stationEcho), " answered ", bytes}); break;
    case Outcome::Short:
    case Outcome::Garbled:
        text += ": " + bytes;
        if (r.valid && view.replyBytes.size() < r.ReplyLength())
            text +=
                Cat({" (", std::to_string(view.replyBytes.size()), " of ", std::to_string(r.ReplyLength()), " bytes)"});
        break;
    default: text += ": " + bytes; break;
    }
    return text;
}

std::string Notes(const AttemptView& view)
{
    std::string notes;
    const auto note = [&notes](const char* text) { notes += std::string("  [") + text + "]"; };
    if (view.maybeLate)
        note(view.timed ? "late" : "after a time-out: maybe a late answer");
    if (view.outcome == Outcome::Good && view.request.valid && view.request.IsRead() && !view.reply.dataOk)
        note("data?");
    if (view.replyChecksumSuspect)
        note("reply checksum?");
    if (view.flags & PAIR_GARBAGE)
        note("garbage");
    if (view.flags & PAIR_NO_CR)
        note("no CR");
    return notes;
}

const char* FlagName(uint32_t flag)
{
    switch (flag) {
    case PAIR_BAD_REQUEST_CHECKSUM: return "bad-request-checksum";
    case PAIR_NO_REQUEST: return "no-request";
    case PAIR_LATE: return "late";
    case PAIR_ANSWERED_AGAIN: return "answered-again";
    case PAIR_GARBAGE: return "garbage";
    case PAIR_NO_CR: return "no-cr";
    }
    return "?";
}

std::vector<std::string> FlagNames(uint32_t flags)
{
    std::vector<std::string> names;
    for (uint32_t flag = 1; flag <= PAIR_NO_CR; flag <<= 1)
        if (flags & flag)
            names.push_back(FlagName(flag));
    return names;
}

std::string CsvField(const std::string& text)
{
    std::string out = "\"";
    for (char c : text)
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

std::string Padded(const std::string& text, size_t width)
{
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

}  // namespace

int AttemptView::Station() const
{
    if (hasRequest && !request.stationDigits.empty())
        return request.station;
    return hasReply ? reply.stationEcho : -1;
}

bool AttemptView::IsAttempt() const
{
    return hasRequest && !(flags & PAIR_ANSWERED_AGAIN);
}

AttemptView ViewOf(const TraceAttempt& attempt)
{
    AttemptView view;
    view.exchange = attempt.exchange;
    view.attempt = attempt.attempt;
    view.hasRequest = true;
    view.requestBytes = attempt.requestBytes;
    view.request = attempt.request;
    view.hasReply = !attempt.replyBytes.empty();
    view.replyBytes = attempt.replyBytes;
    if (std::find(attempt.replyShown.begin(), attempt.replyShown.end(), false) != attempt.replyShown.end())
        view.replyShown = attempt.replyShown;
    view.reply = attempt.reply;
    view.outcome = attempt.outcome;
    view.maybeLate = attempt.followsTimeout && view.hasReply;
    return view;
}

AttemptView ViewOf(const LinePair& pair)
{
    AttemptView view;
    view.hasRequest = pair.hasRequest;
    view.attempt = pair.hasRequest ? pair.attempt : 0;
    view.requestBytes = pair.requestFrame.bytes;
    view.request = pair.request;
    view.hasReply = pair.hasReply;
    view.replyBytes = pair.replyFrame.bytes;
    view.reply = pair.reply;
    view.outcome = pair.outcome;
    view.flags = pair.flags;
    view.maybeLate = (pair.flags & PAIR_LATE) != 0;
    view.timed = true;
    // A further reply is an event of its own, at its own time.
    const bool own = !pair.hasRequest || (pair.flags & PAIR_ANSWERED_AGAIN);
    view.timeUs = own ? pair.replyFrame.startUs : pair.requestFrame.startUs;
    view.latencyUs = pair.hasRequest && pair.hasReply ? pair.latencyUs : 0;
    return view;
}

void AttemptNotes::Judge(AttemptView* view)
{
    const PconReply& reply = view->reply;
    view->replyChecksumSuspect = view->hasReply && view->outcome == Outcome::Good && reply.complete &&
                                 checksums_.Suspect(view->Station(), reply.checksumOk);
}

std::string ValueText(uint16_t value, bool bit)
{
    return bit ? std::to_string(value) : Printf("%u (0x%04X)", value, value);
}

std::string AttemptLine(const AttemptView& view)
{
    std::string line;
    if (view.timed)
        line = Printf("%10.3f ms  ", static_cast<double>(view.timeUs) / 1000.0);
    else
        line = Printf("#%-4llu ", static_cast<unsigned long long>(view.exchange));

    if (!view.hasRequest) {
        if (view.flags & PAIR_NO_REQUEST)
            line += Cat({"reply without a request: ", Quoted(view.replyBytes), " from station ",
                         StationOrNone(view.reply.stationEcho)});
        else
            line += Cat({"garbage between frames: ", Quoted(view.replyBytes)});
        return line + Notes(view);
    }
    line += Printf("try %d  ", view.attempt) + RequestText(view) + "  -> ";
    if (view.flags & PAIR_ANSWERED_AGAIN)
        line += "again, ";
    if (view.timed && view.hasReply)
        line += Ms(view.latencyUs) + " ms ";
    return line + ReplyText(view) + Notes(view);
}

Json AttemptJson(const AttemptView& view, int64_t utcAtOriginUs)
{
    Json json;
    const PconRequest& r = view.request;
    if (view.timed) {
        json["time"] = std::round(static_cast<double>(view.timeUs)) / 1000.0;
        if (utcAtOriginUs != 0)
            json["utc"] = IsoUtc(utcAtOriginUs + static_cast<int64_t>(view.timeUs));
    } else {
        json["exchange"] = view.exchange;
    }
    const int station = view.Station();
    json["station"] = station >= 0 ? Json(station) : Json();
    if (view.hasRequest && r.valid) {
        json["command"] = FrameCommandName(r.command);
        json["operand"] = std::string(1, r.operand);
        json["address"] = r.Address();
        json["count"] = r.count;
    } else {
        json["command"] = nullptr;
        json["address"] = nullptr;
        json["count"] = nullptr;
    }
    json["attempt"] = view.attempt > 0 ? Json(view.attempt) : Json();
    json["outcome"] = OutcomeName(view.outcome);
    json["request_checksum_ok"] = view.hasRequest ? Json(r.valid && r.checksumOk) : Json();
    if (view.hasRequest && r.valid && !r.IsRead())
        json["written"] = r.values;
    if (view.hasRequest && r.valid && r.IsRead() && view.outcome == Outcome::Good) {
        json["values"] = view.reply.values;
        json["data_ok"] = view.reply.dataOk;
    }
    if (view.timed)
        json["latency_ms"] =
            view.hasRequest && view.hasReply ? Json(std::round(static_cast<double>(view.latencyUs)) / 1000.0) : Json();
    json["maybe_late"] = view.maybeLate;
    if (view.hasReply && view.reply.complete)
        json["reply_checksum_ok"] = view.reply.checksumOk;
    if (view.timed)
        json["flags"] = FlagNames(view.flags);
    json["request"] = view.hasRequest ? Json(JsonBytes(view.requestBytes, {})) : Json();
    if (view.hasRequest && !r.valid)
        json["request_error"] = r.error;
    json["reply"] = view.hasReply ? Json(JsonBytes(view.replyBytes, view.replyShown)) : Json();
    return json;
}

std::string CsvHeader()
{
    return "time_ms,utc,exchange,attempt,station,command,address,count,outcome,request_checksum_ok,latency_ms,"
           "values,maybe_late,flags,request,reply";
}

std::string AttemptCsv(const AttemptView& view, int64_t utcAtOriginUs)
{
    const PconRequest& r = view.request;
    const bool valid = view.hasRequest && r.valid;
    std::string values;
    const std::vector<uint16_t>* shown = nullptr;
    if (valid && r.IsRead() && view.outcome == Outcome::Good)
        shown = &view.reply.values;
    else if (valid && !r.IsRead())
        shown = &r.values;
    for (size_t i = 0; shown != nullptr && i < shown->size(); ++i)
        values += Cat({i == 0 ? "" : " ", std::to_string((*shown)[i])});
    std::string flags;
    for (const std::string& name : FlagNames(view.flags))
        flags += Cat({flags.empty() ? "" : " ", name});

    std::vector<std::string> fields = {
        view.timed ? Printf("%.3f", static_cast<double>(view.timeUs) / 1000.0) : "",
        view.timed && utcAtOriginUs != 0 ? IsoUtc(utcAtOriginUs + static_cast<int64_t>(view.timeUs)) : "",
        view.exchange > 0 ? std::to_string(view.exchange) : "",
        view.attempt > 0 ? std::to_string(view.attempt) : "",
        view.Station() >= 0 ? std::to_string(view.Station()) : "",
        valid ? FrameCommandName(r.command) : "",
        valid ? r.Address() : "",
        valid ? std::to_string(r.count) : "",
        OutcomeName(view.outcome),
        view.hasRequest ? (valid && r.checksumOk ? "true" : "false") : "",
        view.timed && view.hasRequest && view.hasReply ? Printf("%.3f", static_cast<double>(view.latencyUs) / 1000.0)
                                                       : "",
        values,
        view.maybeLate ? "true" : "false",
        flags,
        CsvField(view.hasRequest ? VisibleBytes(view.requestBytes, {}) : ""),
        CsvField(view.hasReply ? VisibleBytes(view.replyBytes, view.replyShown) : ""),
    };
    std::string row;
    for (size_t i = 0; i < fields.size(); ++i)
        row += (i == 0 ? "" : ",") + fields[i];
    return row;
}

std::string IsoUtc(int64_t unixUs)
{
    const time_t seconds = static_cast<time_t>(unixUs / 1000000);
    std::tm parts{};
#if defined(_WIN32)
    gmtime_s(&parts, &seconds);
#else
    gmtime_r(&seconds, &parts);
#endif
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &parts);
    return Printf("%s.%06lldZ", date, static_cast<long long>(unixUs % 1000000));
}

void TraceDecoder::Feed(std::string_view text)
{
    reader_.Feed(text);
    Drain();
}

void TraceDecoder::Finish()
{
    reader_.Finish();
    Drain();
    tally_.Finish();
    if (json_)
        *out_ += Json{{"summary", tally_.ToJson(false)}}.dump() + "\n";
    else
        *out_ += std::string(attempts_ > 0 ? "\n" : "") + "Per station:\n" + tally_.Table(false);
}

void TraceDecoder::Drain()
{
    TraceAttempt attempt;
    while (reader_.NextAttempt(&attempt)) {
        AttemptView view = ViewOf(attempt);
        notes_.Judge(&view);
        tally_.Add(view);
        *out_ += (json_ ? AttemptJson(view).dump() : AttemptLine(view)) + "\n";
        ++attempts_;
    }
}

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
    if (view.maybeLate)
        ++s.maybeLate;
    if (view.timed && view.hasReply)
        s.latenciesUs.push_back(view.latencyUs);
    if (view.outcome == Outcome::Good) {
        openGood_ = true;
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

uint64_t LineTally::Percentile(std::vector<uint64_t> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(values.size())));
    return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
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
        count(s.maybeLate);
        if (withLine) {
            const bool any = !s.latenciesUs.empty();
            row.push_back(any ? Ms(Percentile(s.latenciesUs, 50)) : "-");
            row.push_back(any ? Ms(Percentile(s.latenciesUs, 99)) : "-");
            row.push_back(any ? Ms(Percentile(s.latenciesUs, 100)) : "-");
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
        station["failures"] = failures;
        station["maybe_late"] = s.maybeLate;
        if (withLine) {
            Json latency;
            const bool any = !s.latenciesUs.empty();
            for (const auto& [name, p] : {std::pair{"p50", 50.0}, {"p99", 99.0}, {"max", 100.0}})
                latency[name] = any ? Json(static_cast<double>(Percentile(s.latenciesUs, p)) / 1000.0) : Json();
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
