// Home Assistant's MQTT discovery: each config checked against the keys and
// types Home Assistant documents for its component, the object ids and
// their clashes, and which retained configs a new start clears.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "gate/ha_discovery.h"
#include "gate/ha_sweep.h"

namespace {

using namespace kivgate;
using Json = nlohmann::json;

// What Home Assistant's MQTT integration documents for the components
// kivgate announces: each key it takes, its type, and whether it is
// required. A key outside the table is one Home Assistant refuses.
enum class Type { String, Bool, Int, Float, Template, Availability, Device };

struct Key {
    const char* name;
    Type type;
    bool required = false;
};

const std::vector<Key> COMMON = {
    {"name", Type::String},
    {"unique_id", Type::String},
    {"object_id", Type::String},
    {"icon", Type::String},
    {"qos", Type::Int},
    {"encoding", Type::String},
    {"entity_category", Type::String},
    {"enabled_by_default", Type::Bool},
    {"json_attributes_topic", Type::String},
    {"json_attributes_template", Type::Template},
    {"availability", Type::Availability},
    {"availability_topic", Type::String},
    {"availability_mode", Type::String},
    {"availability_template", Type::Template},
    {"payload_available", Type::String},
    {"payload_not_available", Type::String},
    {"device", Type::Device},
    {"device_class", Type::String},
};

const std::map<std::string, std::vector<Key>> SCHEMA = {
    {"sensor",
     {{"state_topic", Type::String, true},
      {"value_template", Type::Template},
      {"unit_of_measurement", Type::String},
      {"state_class", Type::String},
      {"expire_after", Type::Int},
      {"force_update", Type::Bool}}},
    {"binary_sensor",
     {{"state_topic", Type::String, true},
      {"value_template", Type::Template},
      {"payload_on", Type::String},
      {"payload_off", Type::String},
      {"expire_after", Type::Int},
      {"force_update", Type::Bool},
      {"off_delay", Type::Int}}},
    {"number",
     {{"command_topic", Type::String, true},
      {"command_template", Type::Template},
      {"state_topic", Type::String},
      {"value_template", Type::Template},
      {"min", Type::Float},
      {"max", Type::Float},
      {"step", Type::Float},
      {"mode", Type::String},
      {"optimistic", Type::Bool},
      {"retain", Type::Bool},
      {"payload_reset", Type::String},
      {"unit_of_measurement", Type::String}}},
    {"switch",
     {{"command_topic", Type::String},
      {"state_topic", Type::String},
      {"value_template", Type::Template},
      {"payload_on", Type::String},
      {"payload_off", Type::String},
      {"state_on", Type::String},
      {"state_off", Type::String},
      {"optimistic", Type::Bool},
      {"retain", Type::Bool}}},
};

const std::map<std::string, Type> AVAILABILITY_KEYS = {{"topic", Type::String},
                                                       {"payload_available", Type::String},
                                                       {"payload_not_available", Type::String},
                                                       {"value_template", Type::Template}};
const std::vector<std::string> DEVICE_KEYS = {
    "identifiers", "connections",   "name",           "model",      "manufacturer",     "sw_version",
    "hw_version",  "serial_number", "suggested_area", "via_device", "configuration_url"};

bool OfType(const Json& value, Type type)
{
    switch (type) {
    case Type::String:
    case Type::Template: return value.is_string();
    case Type::Bool: return value.is_boolean();
    case Type::Int: return value.is_number_integer();
    case Type::Float: return value.is_number();
    case Type::Availability:
        return value.is_array() && !value.empty() && std::all_of(value.begin(), value.end(), [](const Json& item) {
                   if (!item.is_object() || !item.contains("topic"))
                       return false;
                   for (const auto& [key, field] : item.items())
                       if (!AVAILABILITY_KEYS.count(key) || !OfType(field, AVAILABILITY_KEYS.at(key)))
                           return false;
                   return true;
               });
    case Type::Device:
        if (!value.is_object() || !(value.contains("identifiers") || value.contains("connections")))
            return false;
        for (const auto& [key, field] : value.items()) {
            if (std::find(DEVICE_KEYS.begin(), DEVICE_KEYS.end(), key) == DEVICE_KEYS.end())
                return false;
            if (key == "identifiers"   ? !(field.is_string() || field.is_array())
                : key == "connections" ? !field.is_array()
                                       : !field.is_string())
                return false;
        }
        return true;
    }
    return false;
}

// Every way the config breaks the component's documented schema.
std::vector<std::string> SchemaProblems(const std::string& component, const Json& config)
{
    std::vector<std::string> problems;
    if (!SCHEMA.count(component))
        return {"no such component: " + component};
    std::map<std::string, Key> keys;
    for (const std::vector<Key>* list : {&COMMON, &SCHEMA.at(component)})
        for (const Key& key : *list)
            keys.emplace(key.name, key);
    for (const auto& [name, key] : keys)
        if (key.required && !config.contains(name))
            problems.push_back("missing " + name);
    for (const auto& [name, value] : config.items()) {
        const auto key = keys.find(name);
        if (key == keys.end())
            problems.push_back("unknown key " + name);
        else if (!OfType(value, key->second.type))
            problems.push_back("wrong type of " + name + ": " + value.dump());
    }
    if (config.contains("availability") && config.contains("availability_topic"))
        problems.push_back("availability and availability_topic together");
    if (const std::string mode = config.value("availability_mode", "latest");
        mode != "all" && mode != "any" && mode != "latest")
        problems.push_back("availability_mode " + mode);
    if (config.contains("step") && config["step"].is_number() && config["step"].get<double>() < 0.001)
        problems.push_back("step below 0.001");
    if (config.contains("min") && config.contains("max") && config["min"] > config["max"])
        problems.push_back("min above max");
    return problems;
}

GateTag Tag(std::string name, int32_t count, kivhost::ValueKind kind, bool writable, int station = 1,
            ValueFormat format = {})
{
    GateTag tag;
    tag.tag.name = name;
    tag.tag.count = count;
    tag.tag.kind = kind;
    tag.tag.address.station = station;
    tag.topic = "gw/" + name;
    tag.writable = writable;
    tag.format = format;
    return tag;
}

constexpr auto W = kivhost::ValueKind::Word;
constexpr auto B = kivhost::ValueKind::Bit;

TEST(KivgateHaDiscovery, ConfigsFollowEachComponentsDocumentedSchema)
{
    const ValueFormat tenths{WordFormat::I16, 0.1, 0, "°C"};
    const ValueFormat floats{WordFormat::F32, 1, 0, "bar"};
    struct Case {
        const char* what;
        GateTag tag;
        bool allowWrites;
        PayloadForm form;
        std::vector<std::string> topics;  // under homeassistant/, one per entity
        Json want;                        // keys every one of them has so
    };
    const Case cases[] = {
        {"a read-only word",
         Tag("pump speed", 1, W, false, 3),
         false,
         PayloadForm::Json,
         {"sensor/gw/pump_speed"},
         {{"name", "pump speed"},
          {"unique_id", "kivgate_gw_pump_speed"},
          {"state_topic", "gw/pump speed"},
          {"value_template", "{{ value_json.value }}"},
          {"availability_mode", "all"},
          {"availability",
           {{{"topic", "gw/status"}, {"payload_available", "online"}, {"payload_not_available", "offline"}},
            {{"topic", "gw/stations/03/availability"},
             {"payload_available", "online"},
             {"payload_not_available", "offline"}}}},
          {"device",
           {{"identifiers", {"kivgate_gw"}}, {"name", "kivgate gw"}, {"model", "kivgate"}, {"sw_version", "9.8.7"}}}}},
        {"a writable word without --allow-writes is read-only",
         Tag("sp", 1, W, true),
         false,
         PayloadForm::Json,
         {"sensor/gw/sp"},
         {{"state_topic", "gw/sp"}}},
        {"a writable word: its range and step from its format",
         Tag("sp", 1, W, true, 1, tenths),
         true,
         PayloadForm::Json,
         {"number/gw/sp"},
         {{"command_topic", "gw/sp/set"},
          {"min", -3276.8},
          {"max", 3276.7},
          {"step", 0.1},
          {"unit_of_measurement", "°C"},
          {"retain", false}}},
        {"a plain writable word",
         Tag("n", 1, W, true),
         true,
         PayloadForm::Json,
         {"number/gw/n"},
         {{"min", 0}, {"max", 65535}, {"step", 1}}},
        {"a float's step is the finest taken",
         Tag("p", 1, W, true, 1, floats),
         true,
         PayloadForm::Json,
         {"number/gw/p"},
         {{"step", 0.001}, {"unit_of_measurement", "bar"}}},
        {"a read-only bit",
         Tag("door", 1, B, false),
         true,
         PayloadForm::Json,
         {"binary_sensor/gw/door"},
         {{"payload_on", "1"}, {"payload_off", "0"}, {"value_template", "{{ value_json.value }}"}}},
        {"a writable bit",
         Tag("valve", 1, B, true),
         true,
         PayloadForm::Json,
         {"switch/gw/valve"},
         {{"command_topic", "gw/valve/set"}, {"payload_on", "1"}, {"payload_off", "0"}, {"state_topic", "gw/valve"}}},
        {"a writable run: read-only elements",
         Tag("levels", 3, W, true),
         true,
         PayloadForm::Json,
         {"sensor/gw/levels_1", "sensor/gw/levels_2", "sensor/gw/levels_3"},
         {{"state_topic", "gw/levels"}}},
        {"bare values need no template", Tag("v", 1, W, false), false, PayloadForm::Value, {"sensor/gw/v"}, {}},
        {"a bare run is an array",
         Tag("bits", 2, B, true),
         true,
         PayloadForm::Value,
         {"binary_sensor/gw/bits_1", "binary_sensor/gw/bits_2"},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<HaConfig> configs =
            HaConfigs({c.tag}, HaSettings{"homeassistant", "gw", c.form, c.allowWrites, "9.8.7"});
        ASSERT_EQ(configs.size(), c.topics.size());
        for (size_t i = 0; i < configs.size(); ++i) {
            EXPECT_EQ(configs[i].topic, "homeassistant/" + c.topics[i] + "/config");
            const std::string component = c.topics[i].substr(0, c.topics[i].find('/'));
            const Json config = Json::parse(configs[i].payload, nullptr, false);
            ASSERT_TRUE(config.is_object()) << configs[i].payload;
            EXPECT_EQ(SchemaProblems(component, config), std::vector<std::string>{}) << configs[i].payload;
            for (const auto& [key, value] : c.want.items())
                EXPECT_EQ(config.value(key, Json()), value) << key << " in " << configs[i].payload;
            // Each element reads its own place in the array; a lone value has none.
            const std::string index = c.tag.tag.count > 1 ? "[" + std::to_string(i) + "]" : "";
            const std::string value = c.form == PayloadForm::Json ? "value_json.value" : "value_json";
            if (c.tag.tag.count > 1 || c.form == PayloadForm::Json)
                EXPECT_EQ(config.value("value_template", ""), "{{ " + value + index + " }}");
            else
                EXPECT_FALSE(config.contains("value_template"));
            EXPECT_TRUE(HaConfigOfDevice(configs[i].payload, "kivgate_gw"));
            EXPECT_FALSE(HaConfigOfDevice(configs[i].payload, "kivgate_other"));
        }
    }
    EXPECT_EQ(HaConfigFilter(HaSettings{"ha", "site/line 1", PayloadForm::Json, false, ""}),
              "ha/+/site_line_1/+/config");
}

TEST(KivgateHaDiscovery, NamesThatReduceToOneObjectIdAreRefusedWithTheirRow)
{
    struct Row {
        const char* name;
        int32_t count;
    };
    struct Case {
        const char* what;
        std::vector<Row> rows;
        int line;  // of the refused row, 0: none
    };
    const Case cases[] = {
        {"a blank and an underscore", {{"pump speed", 1}, {"pump_speed", 1}}, 3},
        {"a run's element and a tag", {{"a", 2}, {"x", 1}, {"a_2", 1}}, 4},
        {"a tag and a later run's element", {{"b_1", 1}, {"b", 3}}, 3},
        {"a dash is kept", {{"a-b", 1}, {"a_b", 1}}, 0},
        {"case is kept", {{"Pump", 1}, {"pump", 1}}, 0},
        {"bytes beyond ASCII each become _", {{"t\xc2\xb0", 1}, {"t__", 1}}, 3},
    };
    for (const Case& c : cases) {
        std::vector<GateTag> tags;
        for (size_t i = 0; i < c.rows.size(); ++i) {
            tags.push_back(Tag(c.rows[i].name, c.rows[i].count, W, false));
            tags.back().tag.line = static_cast<int>(i) + 2;
        }
        const std::vector<kivhost::TagFileError> errors = HaObjectClashes(tags, "f.csv");
        if (c.line == 0) {
            EXPECT_TRUE(errors.empty()) << c.what << ": " << errors.front().Message();
            continue;
        }
        ASSERT_EQ(errors.size(), 1u) << c.what;
        EXPECT_EQ(
            errors.front().Message().rfind("f.csv:" + std::to_string(c.line) + ": the Home Assistant object id", 0), 0u)
            << c.what << ": " << errors.front().Message();
    }
}

TEST(KivgateHaDiscovery, AStartClearsOnlyItsOwnRetainedConfigsOfGoneTags)
{
    const HaSettings settings{"homeassistant", "gw", PayloadForm::Json, false, ""};
    const std::vector<HaConfig> current = HaConfigs({Tag("kept", 1, W, false)}, settings);
    const std::string ours = HaConfigs({Tag("gone", 1, W, false)}, settings).front().payload;
    const std::string theirs =
        HaConfigs({Tag("gone", 1, W, false)}, HaSettings{"homeassistant", "gw2", PayloadForm::Json, false, ""})
            .front()
            .payload;
    struct Offered {
        std::string topic;
        std::string payload;
        bool retained;
    };
    struct Case {
        const char* what;
        std::vector<Offered> offered;
        std::vector<std::string> stale;
    };
    const Case cases[] = {
        {"a gone tag's config",
         {{"homeassistant/sensor/gw/gone/config", ours, true}},
         {"homeassistant/sensor/gw/gone/config"}},
        {"a tag still there", {{current.front().topic, current.front().payload, true}}, {}},
        {"another gateway's", {{"homeassistant/sensor/gw/gone/config", theirs, true}}, {}},
        {"a live message, not retained", {{"homeassistant/sensor/gw/gone/config", ours, false}}, {}},
        {"one cleared already", {{"homeassistant/sensor/gw/gone/config", "", true}}, {}},
        {"not a config at all", {{"homeassistant/sensor/gw/gone/config", "{\"device\":5", true}}, {}},
    };
    const auto start = HaSweep::Clock::now();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HaSweep sweep(current, HaDeviceId("gw"));
        for (const Offered& o : c.offered)
            sweep.Offer(o.topic, o.payload, o.retained);  // before the start: not looked at
        sweep.Begin(start);
        for (const Offered& o : c.offered)
            sweep.Offer(o.topic, o.payload, o.retained);
        HaSweep::Done done;
        EXPECT_FALSE(sweep.TakeDone(start + HaSweep::WINDOW / 2, &done));
        ASSERT_TRUE(sweep.TakeDone(start + HaSweep::WINDOW, &done));
        EXPECT_EQ(done.stale, c.stale);
        EXPECT_FALSE(sweep.TakeDone(start + HaSweep::WINDOW * 2, &done)) << "once";
    }

    // Bounded: what is past the cap is counted and left for a later start.
    HaSweep sweep(current, HaDeviceId("gw"));
    sweep.Begin(start);
    for (size_t i = 0; i < HaSweep::MAX + 3; ++i)
        sweep.Offer("homeassistant/sensor/gw/g" + std::to_string(i) + "/config", ours, true);
    HaSweep::Done done;
    ASSERT_TRUE(sweep.TakeDone(start + HaSweep::WINDOW, &done));
    EXPECT_EQ(done.stale.size(), HaSweep::MAX);
    EXPECT_EQ(done.over, 3u);
}

}  // namespace
