#include "scan/scan_logs.h"

#include <nlohmann/json.hpp>

#include <utility>

#include "common/csv_field.h"
#include "common/json_object.h"
#include "common/time_stamp.h"
#include "common/tool_text.h"
#include "scan/scan_messages.h"
#include "wire/address_area.h"

namespace kivhost {
namespace {

// A tag's fields that the log and the cycle's JSON share.
void AddTagFields(const Tag& tag, const TagState& state, Json* json)
{
    Json& o = *json;
    o["name"] = tag.name;
    o["address"] = tag.text;
    o["value"] = state.values.empty() && state.quality != Quality::Good ? Json() : Json(state.values);
    o["quality"] = QualityName(state.quality);
    o["reason"] = ReasonText(state);
    o["attempts"] = state.attempts;
    o["last_good"] = state.lastGood ? Json(UtcTimestamp(*state.lastGood)) : Json();
}

const char* EventKindName(ScanEvent::Kind kind)
{
    switch (kind) {
    case ScanEvent::Kind::StationDown: return "station-down";
    case ScanEvent::Kind::StillDown: return "still-down";
    case ScanEvent::Kind::StationBack: return "station-back";
    case ScanEvent::Kind::BlockRefused: return "block-refused";
    case ScanEvent::Kind::BlockBack: return "block-back";
    case ScanEvent::Kind::ChecksumUnused: return "checksum-unused";
    }
    return "?";
}

}  // namespace

std::vector<std::string> CsvRows(const ScanEngine& engine, size_t tag)
{
    const Tag& t = engine.Tags()[tag];
    const TagState& state = engine.States()[tag];
    const std::string time = UtcTimestamp(engine.Cycle().start);
    const std::string attempts = std::to_string(state.attempts);
    if (t.count <= 1)
        return {
            CsvLine({time, t.name, t.text, ValueText(state), QualityName(state.quality), ReasonText(state), attempts})};
    std::vector<std::string> rows;
    for (int32_t i = 0; i < t.count; ++i) {
        const auto at = static_cast<size_t>(i);
        const std::string value = at < state.values.size() ? std::to_string(state.values[at]) : "";
        rows.push_back(CsvLine({time, t.name + "[" + std::to_string(i) + "]", ElementAddress(t.address, i), value,
                                QualityName(state.quality), ReasonText(state), attempts}));
    }
    return rows;
}

std::string JsonlRow(const ScanEngine& engine, size_t tag)
{
    Json json = {{"time", UtcTimestamp(engine.Cycle().start)}};
    AddTagFields(engine.Tags()[tag], engine.States()[tag], &json);
    return JsonText(json);
}

std::string CycleJson(const ScanEngine& engine)
{
    const CycleStats& cycle = engine.Cycle();
    Json events = Json::array();
    for (const ScanEvent& event : engine.Events()) {
        Json json = {
            {"time", UtcTimestamp(event.time)},
            {"event", EventKindName(event.kind)},
            {"station", event.station},
            {"block", BlockName(engine.Plan().blocks[event.block])},
            {"reason", event.reason == Outcome::Good ? "" : OutcomeName(event.reason)},
            {"attempts", event.attempts},
            {"message", EventText(engine, event)},
        };
        if (event.kind == ScanEvent::Kind::StationBack || event.kind == ScanEvent::Kind::BlockBack)
            json["down_s"] = MsNumber(event.downSeconds);
        events.push_back(std::move(json));
    }
    Json tags = Json::array();
    for (size_t i = 0; i < engine.Tags().size(); ++i) {
        const TagState& state = engine.States()[i];
        Json json = Json::object();
        AddTagFields(engine.Tags()[i], state, &json);
        json["good"] = state.good;
        json["failed"] = state.failed;
        json["retried"] = state.retried;
        const std::string message = TagMessage(engine, i);
        if (!message.empty())
            json["message"] = message;
        tags.push_back(std::move(json));
    }
    Json json;
    json["command"] = "scan";
    json["time"] = UtcTimestamp(cycle.start);
    json["cycle"] = cycle.number;
    json["cycle_ms"] = MsNumber(cycle.ms);
    json["avg_ms"] = MsNumber(engine.AverageMs());
    json["max_ms"] = MsNumber(engine.MaxMs());
    json["exchanges"] = cycle.exchanges;
    json["failures"] = cycle.failures;
    json["retries"] = cycle.retries;
    json["events"] = std::move(events);
    json["tags"] = std::move(tags);
    return JsonText(json);
}

std::string CycleLine(const ScanEngine& engine)
{
    const CycleStats& cycle = engine.Cycle();
    std::string line = "cycle " + std::to_string(cycle.number) + ": " + Printf("%.1f ms", cycle.ms) + ", " +
                       Plural(cycle.exchanges, "exchange", "exchanges") + ", " + std::to_string(cycle.failures) +
                       " failed";
    for (size_t i = 0; i < engine.Tags().size(); ++i) {
        const TagState& state = engine.States()[i];
        line += "; " + Printable(engine.Tags()[i].name) + " " + (state.values.empty() ? "-" : ValueText(state));
        if (state.quality != Quality::Good)
            line += std::string(" (") + QualityName(state.quality) +
                    (ReasonText(state).empty() ? "" : ": " + ReasonText(state)) + ")";
        else if (!ReasonText(state).empty())
            line += " (" + ReasonText(state) + ")";
    }
    return line;
}

}  // namespace kivhost
