#include "gate/status_json.h"

#include <nlohmann/json.hpp>

#include "common/json_object.h"
#include "common/time_stamp.h"
#include "gate/gate_config.h"
#include "gate/mqtt_payload.h"

namespace kivgate {
namespace {

using kivhost::Json;

Json TimeJson(WallTime time)
{
    return time == WallTime{} ? Json() : Json(kivhost::UtcTimestamp(time));
}

Json Number(std::optional<double> value)
{
    return value ? Json(*value) : Json();
}

// The words as the Modbus side serves them, or the values as MQTT does,
// format, scale and offset applied: the payload's own rule.
Json ValueJson(const GateTag& gate, const TagValue& value, const ValueFormat& format)
{
    return Json::parse(ValueText(value, gate.tag.count, format));
}

std::string ModbusPlace(const GateTag& gate)
{
    std::string place = std::string(SpaceName(gate.space)) + ":" + std::to_string(gate.first);
    if (gate.tag.count > 1)
        place += "-" + std::to_string(gate.first + gate.tag.count - 1);
    return place;
}

Json GatewayJson(const GatewayFacts& facts, const Snapshot& snapshot, WallTime wallNow)
{
    Json gateway = Json::object();
    gateway["version"] = facts.version;
    gateway["time"] = kivhost::UtcTimestamp(wallNow);
    gateway["uptime_s"] = facts.uptimeSeconds;
    gateway["port"] = facts.line.portGivenAs;
    gateway["line"] = std::to_string(facts.line.baud) + " " + facts.line.FormatText() + ", time-out " +
                      std::to_string(facts.line.TimeoutMs()) + " ms";
    gateway["port_up"] = !snapshot.portLost;
    gateway["cycle"] = snapshot.cycle;
    gateway["mqtt"] = facts.mqtt ? Json{{"broker", facts.mqtt->broker}, {"connected", facts.mqtt->connected}} : Json();
    gateway["modbus"] =
        facts.modbus ? Json{{"listen", facts.modbus->listen}, {"clients", facts.modbus->clients}} : Json();
    return gateway;
}

Json StationJson(const StationDiagnostics& station, const StationHistory& history, WallTime wallNow)
{
    Json failures = Json::object();
    for (const auto& [reason, count] : station.failures)
        failures[reason] = count;
    Json minutes = Json::array();
    for (const StationHistory::Minute& minute : history.LastHour(station.station, wallNow))
        minutes.push_back({{"t", minute.start},
                           {"good", minute.good},
                           {"failed", minute.failed},
                           {"mean_ms", minute.good == 0 ? Json() : Json(minute.latencySumMs / minute.good)},
                           {"max_ms", minute.good == 0 ? Json() : Json(minute.latencyMaxMs)}});
    return {{"station", station.station},
            {"label", StationLabel(station.station)},
            {"state", station.down ? "down" : "up"},
            {"since", TimeJson(station.since)},
            {"last_reason", station.lastReason.empty() ? Json() : Json(station.lastReason)},
            {"failures", failures},
            {"p50_ms", Number(station.p50Ms)},
            {"p99_ms", Number(station.p99Ms)},
            {"history", minutes}};
}

Json TagJson(const GateTag& gate, const TagValue& value, Quality quality, SteadyTime now)
{
    Json tag = Json::object();
    tag["name"] = gate.tag.name;
    tag["address"] = gate.tag.text;
    tag["station"] = gate.tag.address.station;
    tag["value"] = ValueJson(gate, value, ValueFormat{});
    if (!gate.format.Plain()) {
        tag["format"] = WordFormatName(gate.format.format);
        tag["scaled"] = ValueJson(gate, value, gate.format);
    }
    if (!gate.format.unit.empty())
        tag["unit"] = gate.format.unit;
    tag["quality"] = QualityText(quality);
    tag["age_s"] = value.lastGood ? Json(std::chrono::duration<double>(now - value.readAt).count()) : Json();
    tag["modbus"] = ModbusPlace(gate);
    tag["topic"] = gate.topic;
    tag["writable"] = gate.writable;
    return tag;
}

Json WriteJson(const WriteRecord& record)
{
    return {{"time", TimeJson(record.time)},
            {"from", record.from},
            {"tag", record.tag},
            {"offset", record.offset},
            {"values", record.values},
            {"done", record.result.done},
            {"sent", record.result.sent},
            {"message", record.result.message}};
}

}  // namespace

std::string StatusJson(const GatewayFacts& facts, const std::vector<GateTag>& tags, const Snapshot& snapshot,
                       const StationHistory& history, const WriteLog& writes, SteadyTime now, WallTime wallNow)
{
    Json status = Json::object();
    status["gateway"] = GatewayJson(facts, snapshot, wallNow);
    Json stations = Json::array();
    for (const StationDiagnostics& station : snapshot.stations)
        stations.push_back(StationJson(station, history, wallNow));
    status["stations"] = stations;
    Json tagList = Json::array();
    const TagValue none;
    for (size_t i = 0; i < tags.size(); ++i) {
        const bool known = i < snapshot.tags.size();
        tagList.push_back(
            TagJson(tags[i], known ? snapshot.tags[i] : none, known ? snapshot.QualityAt(i, now) : Quality::None, now));
    }
    status["tags"] = tagList;
    Json writeList = Json::array();
    for (const WriteRecord& record : writes.Latest())
        writeList.push_back(WriteJson(record));
    status["writes"] = writeList;
    return kivhost::JsonText(status);
}

}  // namespace kivgate
