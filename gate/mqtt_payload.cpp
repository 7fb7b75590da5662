#include "gate/mqtt_payload.h"

#include <algorithm>
#include <cstdio>
#include <span>

#include <mosquitto.h>
#include <nlohmann/json.hpp>

#include "common/json_object.h"
#include "common/time_stamp.h"

namespace kivgate {

using kivhost::JsonObject;
using kivhost::JsonString;

namespace {

// A write's payload is a handful of numbers; anything longer is not one.
constexpr size_t MAX_SET_PAYLOAD = 64 * 1024;

kivhost::Json TimeJson(WallTime time)
{
    return time == WallTime{} ? kivhost::Json() : kivhost::Json(kivhost::UtcTimestamp(time));
}

// A payload is quoted in a refusal, but only so far: the reader learns
// what came without a megabyte or control bytes in the log and the answer.
constexpr size_t QUOTED_MAX = 64;

// A write's payload is at most an array of numbers; the nesting is bounded
// before the parser and everything after it walk it.
constexpr int MAX_DEPTH = 32;

// The deepest nesting of arrays and objects, outside strings, stopping as
// soon as it passes the bound.
int Depth(std::string_view text)
{
    int depth = 0;
    int deepest = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
            if (deepest > MAX_DEPTH)
                break;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return deepest;
}

// Takes any JSON without keeping it: whether a payload begins with one
// whole value, when it is not one value alone.
struct AnyValue : nlohmann::json_sax<kivhost::Json> {
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return true; }
    bool key(string_t&) override { return true; }
    bool end_object() override { return true; }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }
};

// What an element is, in a word when it has parts: its text would be the
// whole of it.
std::string Shown(const kivhost::Json& item)
{
    if (item.is_array())
        return "an array";
    if (item.is_object())
        return "an object";
    return Quoted(kivhost::JsonText(item));
}

// One element of a write: a whole number in the element's range, or why not.
std::string ElementProblem(const kivhost::Json& item, bool bits, uint16_t* value)
{
    if (item.is_number_float())
        return "not a whole number: " + Shown(item);
    if (!item.is_number())
        return "not a number: " + Shown(item);
    const uint64_t limit = bits ? 1 : 65535;
    if (item.is_number_integer() && !item.is_number_unsigned())
        return "out of range 0.." + std::to_string(limit) + ": " + Shown(item);
    const uint64_t number = item.get<uint64_t>();
    if (number > limit)
        return "out of range 0.." + std::to_string(limit) + ": " + Shown(item);
    *value = static_cast<uint16_t>(number);
    return "";
}

// One value of a formatted tag: a number, encoded into its words, or why not.
std::string ValueProblem(const kivhost::Json& item, const ValueFormat& format, std::vector<uint16_t>* words)
{
    if (!item.is_number())
        return "not a number: " + Shown(item);
    EncodedValue encoded = EncodeValue(format, item.get<double>());
    if (!encoded.why.empty())
        return encoded.why + ": " + Shown(item);
    words->insert(words->end(), encoded.words.begin(), encoded.words.end());
    return "";
}

}  // namespace

std::string Quoted(std::string_view text)
{
    std::string quoted = "\"";
    for (size_t i = 0; i < text.size() && i < QUOTED_MAX; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        quoted += c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
    }
    quoted += text.size() > QUOTED_MAX ? "\"... (" + std::to_string(text.size()) + " bytes)" : "\"";
    return quoted;
}

namespace {

kivhost::Json ValueJson(const TagValue& value, int32_t count)
{
    if (value.values.empty())
        return nullptr;
    if (count == 1 && value.values.size() == 1)
        return value.values[0];
    return value.values;
}

}  // namespace

std::string ValueText(const TagValue& value, int32_t count, const ValueFormat& format)
{
    if (format.Plain() || value.values.empty())
        return kivhost::JsonText(ValueJson(value, count));
    const size_t words = static_cast<size_t>(format.Words());
    const std::span<const uint16_t> all(value.values);
    std::string text;
    for (size_t at = 0; at + words <= all.size(); at += words)
        text += (at == 0 ? "" : ",") + ValueNumberText(format, ValueOf(format, all.subspan(at, words)));
    if (static_cast<size_t>(count) == words && all.size() == words)
        return text;
    return "[" + text + "]";
}

std::string QualityText(Quality quality)
{
    const std::string name = kivhost::QualityName(quality);
    return name.empty() ? "none" : name;
}

std::string TagPayload(const TagValue& value, int32_t count, PayloadForm form, const ValueFormat& format)
{
    if (form == PayloadForm::Value)
        return ValueText(value, count, format);
    // Scaled values go in as ValueText writes them, the shortest text that
    // reads back: a document would print a double its own way.
    const bool scaled = !format.Plain() && !value.values.empty();
    JsonObject json;
    if (!scaled)
        json.Value("value", ValueJson(value, count));
    json.Text("quality", QualityText(value.quality));
    json.Value("time", TimeJson(value.time));
    json.Value("last_good", value.lastGood ? TimeJson(*value.lastGood) : kivhost::Json());
    if (!scaled)
        return json.Done();
    return R"({"value":)" + ValueText(value, count, format) + "," + json.Done().substr(1);
}

std::string StationTopic(std::string_view prefix, int station)
{
    return std::string(prefix) + "/stations/" + StationLabel(station);
}

std::string StationLabel(int station)
{
    char number[16];
    std::snprintf(number, sizeof number, "%02d", station);
    return number;
}

std::string StationPayload(const StationDiagnostics& station)
{
    JsonObject failures;
    for (const auto& [reason, count] : station.failures)
        failures.Number(reason, static_cast<long long>(count));
    // A station that never answered has no latency, which 0 would misstate.
    const auto figure = [](const std::optional<double>& ms) { return ms ? kivhost::MsNumber(*ms) : kivhost::Json(); };
    JsonObject latency;
    latency.Value("p50", figure(station.p50Ms));
    latency.Value("p99", figure(station.p99Ms));
    JsonObject json;
    json.Number("station", station.station);
    json.Text("state", station.down ? "down" : "up");
    json.Value("since", TimeJson(station.since));
    json.Text("last_reason", station.lastReason);
    json.Object("failures", failures);
    json.Object("latency_ms", latency);
    return json.Done();
}

std::string ResultPayload(const WriteResult& result)
{
    JsonObject json;
    json.Bool("done", result.done);
    json.Text("message", result.message);
    return json.Done();
}

SetPayload ParseSetPayload(std::string_view payload, int32_t count, bool bits, const ValueFormat& format)
{
    if (payload.size() > MAX_SET_PAYLOAD)
        return {{}, "payload too long (" + std::to_string(payload.size()) + " bytes)"};
    // The parser takes a NUL for the end of its input, and "1", NUL, "000"
    // would be written as 1.
    if (const size_t nul = payload.find('\0'); nul != std::string_view::npos)
        return {{}, "a NUL byte at byte " + std::to_string(nul) + " of " + Quoted(payload)};
    if (Depth(payload) > MAX_DEPTH)
        return {{}, "nested deeper than " + std::to_string(MAX_DEPTH) + " levels: " + Quoted(payload)};
    const kivhost::Json json = kivhost::Json::parse(payload.begin(), payload.end(), nullptr, false);
    if (json.is_discarded()) {
        AnyValue any;
        const bool oneValueFirst =
            kivhost::Json::sax_parse(payload.begin(), payload.end(), &any, kivhost::Json::input_format_t::json, false);
        return {{},
                (oneValueFirst ? "something after the value: " : "not a number or a JSON array: ") + Quoted(payload)};
    }
    // Plain words and bits are taken as they are, whole numbers only.
    const bool plain = bits || format.Plain();
    const int32_t values = plain ? count : count / format.Words();
    SetPayload result;
    const auto take = [&](const kivhost::Json& item) {
        if (!plain)
            return ValueProblem(item, format, &result.values);
        uint16_t value = 0;
        std::string why = ElementProblem(item, bits, &value);
        if (why.empty())
            result.values.push_back(value);
        return why;
    };
    if (values == 1) {
        if (json.is_array())
            return {{}, "a single value takes a number, not an array"};
        if (std::string why = take(json); !why.empty())
            return {{}, why};
        return result;
    }
    if (!json.is_array())
        return {{},
                "a run of " + std::to_string(values) + " takes a JSON array of " + std::to_string(values) + " values"};
    if (json.size() != static_cast<size_t>(values))
        return {{},
                "a run of " + std::to_string(values) + " takes " + std::to_string(values) + " values, not " +
                    std::to_string(json.size())};
    for (size_t i = 0; i < json.size(); ++i)
        if (const std::string why = take(json[i]); !why.empty())
            return {{}, "element " + std::to_string(i) + ": " + why};
    return result;
}

std::string TopicProblem(std::string_view topic)
{
    if (topic.empty())
        return "an empty topic";
    const std::string text(topic);
    switch (mosquitto_pub_topic_check2(text.c_str(), text.size())) {
    case MOSQ_ERR_SUCCESS: break;
    case MOSQ_ERR_INVAL:
        return "the topic \"" + text + "\" holds a wildcard (+ or #), which no value can be published to";
    default: return "a topic is at most 65535 bytes of UTF-8";
    }
    if (mosquitto_validate_utf8(text.c_str(), static_cast<int>(text.size())) != MOSQ_ERR_SUCCESS)
        return "a topic is UTF-8 without control characters: " + JsonString(text);
    return "";
}

}  // namespace kivgate
