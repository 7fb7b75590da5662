#include "gate/ha_discovery.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <map>

#include <nlohmann/json.hpp>

#include "common/json_object.h"
#include "gate/mqtt_retained.h"

namespace kivgate {
namespace {

using kivhost::Json;

// The finest step Home Assistant's number takes.
constexpr double STEP_MIN = 0.001;
// What PREFIX/status and the stations' availability topics carry.
constexpr char ONLINE[] = "online";
constexpr char OFFLINE[] = "offline";

// One entity: a tag, or one element of a run (element from 0).
struct Entity {
    const GateTag* tag = nullptr;
    std::string object;
    int element = -1;  // -1: the tag whole
};

std::vector<Entity> EntitiesOf(const GateTag& tag)
{
    const std::string base = HaId(tag.tag.name);
    if (tag.tag.count <= 1)
        return {Entity{&tag, base, -1}};
    std::vector<Entity> out;
    for (int i = 0; i < tag.tag.count; ++i)
        out.push_back(Entity{&tag, base + "_" + std::to_string(i + 1), i});
    return out;
}

// Whole numbers as integers: "65535", not "65535.0".
Json NumberJson(double value)
{
    if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 9.0e15)
        return Json(static_cast<int64_t>(value));
    return Json(value);
}

// A float takes any value; an integer format's values lie a scale apart.
double StepOf(const ValueFormat& format)
{
    if (format.format == WordFormat::F32 || format.format == WordFormat::F32R)
        return STEP_MIN;
    return std::max(std::fabs(format.scale), STEP_MIN);
}

std::string Template(PayloadForm form, int element)
{
    const std::string value = form == PayloadForm::Json ? "value_json.value" : "value_json";
    if (element >= 0)
        return "{{ " + value + "[" + std::to_string(element) + "] }}";
    return form == PayloadForm::Json ? "{{ " + value + " }}" : "";
}

Json AvailabilityEntry(const std::string& topic)
{
    Json entry = Json::object();
    entry["topic"] = topic;
    entry["payload_available"] = ONLINE;
    entry["payload_not_available"] = OFFLINE;
    return entry;
}

HaConfig ConfigOf(const Entity& entity, const HaSettings& settings)
{
    const GateTag& tag = *entity.tag;
    const bool bit = tag.tag.kind == kivhost::ValueKind::Bit;
    const bool commands = tag.writable && settings.allowWrites && entity.element < 0;
    const char* component = bit ? (commands ? "switch" : "binary_sensor") : (commands ? "number" : "sensor");
    const std::string deviceId = HaDeviceId(settings.mqttPrefix);

    Json config = Json::object();
    config["name"] = entity.element < 0 ? tag.tag.name : tag.tag.name + " " + std::to_string(entity.element + 1);
    config["unique_id"] = deviceId + "_" + entity.object;
    config["state_topic"] = tag.topic;
    if (const std::string value = Template(settings.payload, entity.element); !value.empty())
        config["value_template"] = value;
    if (commands) {
        config["command_topic"] = tag.topic + "/set";
        // The gateway never carries out a retained command.
        config["retain"] = false;
    }
    if (bit) {
        // What the gateway publishes for a bit, and what its set takes.
        config["payload_on"] = "1";
        config["payload_off"] = "0";
    } else {
        if (commands) {
            const ValueRange range = RangeOf(tag.format);
            config["min"] = NumberJson(range.min);
            config["max"] = NumberJson(range.max);
            config["step"] = NumberJson(StepOf(tag.format));
        }
        if (!tag.format.unit.empty())
            config["unit_of_measurement"] = tag.format.unit;
    }
    config["availability"] =
        Json::array({AvailabilityEntry(settings.mqttPrefix + "/status"),
                     AvailabilityEntry(AvailabilityTopic(settings.mqttPrefix, tag.tag.address.station))});
    config["availability_mode"] = "all";
    Json device = Json::object();
    device["identifiers"] = Json::array({deviceId});
    device["name"] = "kivgate " + settings.mqttPrefix;
    device["model"] = "kivgate";
    device["sw_version"] = settings.version;
    config["device"] = device;
    return HaConfig{settings.haPrefix + "/" + component + "/" + HaId(settings.mqttPrefix) + "/" + entity.object +
                        "/config",
                    config.dump()};
}

}  // namespace

std::string HaId(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-')
            c = '_';
    return out;
}

std::string HaDeviceId(std::string_view mqttPrefix)
{
    return "kivgate_" + HaId(mqttPrefix);
}

std::string HaConfigFilter(const HaSettings& settings)
{
    return settings.haPrefix + "/+/" + HaId(settings.mqttPrefix) + "/+/config";
}

std::vector<HaConfig> HaConfigs(const std::vector<GateTag>& tags, const HaSettings& settings)
{
    std::vector<HaConfig> out;
    for (const GateTag& tag : tags)
        for (const Entity& entity : EntitiesOf(tag))
            out.push_back(ConfigOf(entity, settings));
    return out;
}

std::vector<kivhost::TagFileError> HaObjectClashes(const std::vector<GateTag>& tags, const std::string& fileName)
{
    std::vector<kivhost::TagFileError> errors;
    std::map<std::string, const GateTag*> owners;
    for (const GateTag& tag : tags)
        for (const Entity& entity : EntitiesOf(tag)) {
            const auto [at, fresh] = owners.emplace(entity.object, &tag);
            if (fresh)
                continue;
            errors.push_back(kivhost::TagFileError{
                fileName, tag.tag.line, "",
                "the Home Assistant object id \"" + entity.object + "\" is also \"" + at->second->tag.name +
                    "\"'s (line " + std::to_string(at->second->tag.line) +
                    "): names reduce to letters, digits, _ and -, and a run's elements add _1, _2 ...; rename one"});
            break;  // one message a row
        }
    return errors;
}

bool HaConfigOfDevice(std::string_view payload, std::string_view deviceId)
{
    const nlohmann::json config = nlohmann::json::parse(payload, nullptr, false);
    if (!config.is_object())
        return false;
    // Discovery also takes the short names.
    const auto device = config.contains("device") ? config.find("device") : config.find("dev");
    if (device == config.end() || !device->is_object())
        return false;
    const auto ids = device->contains("identifiers") ? device->find("identifiers") : device->find("ids");
    if (ids == device->end())
        return false;
    if (ids->is_string())
        return *ids == deviceId;
    return ids->is_array() && std::any_of(ids->begin(), ids->end(), [&](const nlohmann::json& id) {
               return id.is_string() && id.get<std::string>() == deviceId;
           });
}

}  // namespace kivgate
