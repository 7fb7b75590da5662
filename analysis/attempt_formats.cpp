#include "analysis/attempt_formats.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "analysis/exchange_report.h"
#include "common/byte_text.h"
#include "common/csv_field.h"
#include "common/time_stamp.h"
#include "common/tool_text.h"

namespace kivhost {
namespace {

constexpr size_t VALUES_SHOWN = 8;    // words on a line for people; JSON has them all
constexpr size_t BITS_SHOWN = 32;     // bits, which take less room
constexpr size_t REQUEST_WIDTH = 26;  // the request column, so that the verdicts line up

// Pieces joined. (Not "text" + std::string: g++ 12 warns wrongly of
// overlapping copies there, -Wrestrict, when it inlines the insert.)
std::string Cat(std::initializer_list<std::string_view> pieces)
{
    std::string text;
    for (std::string_view piece : pieces)
        text += piece;
    return text;
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
    // A reply the driver took and kivhost does not: no values from it.
    if (view.doubt != Doubt::None) {
        std::string text = Cat({DoubtText(view.doubt), ": ", bytes});
        if (view.doubt == Doubt::LateReply)
            text += Cat({" (repeats ", VisibleBytes(view.reply.echo, {}), ", not ", r.Echo(), ")"});
        return text;
    }
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
    if (view.lateRest > 0)
        note("began with the rest of the previous reply, arrived late");
    if (view.maybeLate)
        note(view.timed ? "late" : "after a time-out: maybe a late answer");
    if (view.doubt == Doubt::BadChecksum)
        note("reply checksum broken: its replies kept it before");
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

}  // namespace

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
        line += MsText(view.latencyUs) + " ms ";
    return line + ReplyText(view) + Notes(view);
}

Json AttemptJson(const AttemptView& view, int64_t utcAtOriginUs)
{
    Json json;
    const PconRequest& r = view.request;
    if (view.timed) {
        json["time"] = std::round(static_cast<double>(view.timeUs)) / 1000.0;
        if (utcAtOriginUs != 0)
            json["utc"] = UtcTimestampUs(utcAtOriginUs + static_cast<int64_t>(view.timeUs));
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
    if (view.doubt != Doubt::None)
        json["reason"] = ReasonName(view.outcome, view.doubt);
    else if (view.hasRequest && r.valid && r.IsRead() && view.outcome == Outcome::Good)
        json["values"] = view.reply.values;
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
           "values,maybe_late,flags,request,reply,reason";
}

std::string AttemptCsv(const AttemptView& view, int64_t utcAtOriginUs)
{
    const PconRequest& r = view.request;
    const bool valid = view.hasRequest && r.valid;
    std::string values;
    const std::vector<uint16_t>* shown = nullptr;
    if (valid && r.IsRead() && view.outcome == Outcome::Good && view.doubt == Doubt::None)
        shown = &view.reply.values;
    else if (valid && !r.IsRead())
        shown = &r.values;
    for (size_t i = 0; shown != nullptr && i < shown->size(); ++i)
        values += Cat({i == 0 ? "" : " ", std::to_string((*shown)[i])});
    std::string flags;
    for (const std::string& name : FlagNames(view.flags))
        flags += Cat({flags.empty() ? "" : " ", name});

    return CsvLine({
        view.timed ? Printf("%.3f", static_cast<double>(view.timeUs) / 1000.0) : "",
        view.timed && utcAtOriginUs != 0 ? UtcTimestampUs(utcAtOriginUs + static_cast<int64_t>(view.timeUs)) : "",
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
        view.hasRequest ? VisibleBytes(view.requestBytes, {}) : "",
        view.hasReply ? VisibleBytes(view.replyBytes, view.replyShown) : "",
        view.doubt != Doubt::None ? ReasonName(view.outcome, view.doubt) : "",
    });
}

}  // namespace kivhost
