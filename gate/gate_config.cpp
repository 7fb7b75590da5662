#include "gate/gate_config.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <set>

#include "common/number_rules.h"
#include "common/tool_text.h"
#include "gate/mqtt_payload.h"
#include "gate/value_format.h"
#include "scan/scan_plan.h"

namespace kivgate {
namespace {

using kivhost::Tag;
using kivhost::TagFileError;
using kivhost::ValueKind;

enum Extra : size_t { MODBUS, TOPIC, ACCESS, FORMAT, SCALE, OFFSET, UNIT };

constexpr int64_t MAP_SIZE = 0x10000;  // registers or coils of each space

struct Place {
    Space space;
    int64_t first;
};

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool IsBitSpace(Space space)
{
    return space == Space::Coil || space == Space::DiscreteInput;
}

// "hr:100" into a place, or why not.
std::optional<Place> ParsePlace(const std::string& text, std::string* why)
{
    const size_t colon = text.find(':');
    static const std::map<std::string, Space> SPACES = {{"hr", Space::HoldingRegister},
                                                        {"ir", Space::InputRegister},
                                                        {"coil", Space::Coil},
                                                        {"di", Space::DiscreteInput}};
    const auto space = colon == std::string::npos ? SPACES.end() : SPACES.find(Lower(text.substr(0, colon)));
    if (space == SPACES.end()) {
        *why = "the modbus place \"" + text + "\" is not hr:N, ir:N, coil:N or di:N";
        return std::nullopt;
    }
    std::string numberWhy;
    const auto first = kivhost::ParseNumber(text.substr(colon + 1), 0, MAP_SIZE - 1, &numberWhy);
    if (!first) {
        *why = "the modbus place \"" + text + "\" needs a number from 0 to 65535 after the colon";
        return std::nullopt;
    }
    return Place{space->second, *first};
}

// The checks of one row that need no other row; why, or empty.
std::string CheckRow(const Tag& tag, std::optional<Place>* place, bool* writable)
{
    std::string why;
    if (!tag.extra[MODBUS].empty()) {
        *place = ParsePlace(tag.extra[MODBUS], &why);
        if (!*place)
            return why;
        const bool bits = IsBitSpace((*place)->space);
        if (tag.kind == ValueKind::Word && bits)
            return "a word tag cannot sit on " + std::string(SpaceName((*place)->space)) +
                   " (coils and discrete inputs hold bits); give hr:N or ir:N";
        if (tag.kind == ValueKind::Bit && !bits)
            return "a bit tag cannot sit on " + std::string(SpaceName((*place)->space)) +
                   " (registers hold words); give coil:N or di:N";
    }
    const std::string access = Lower(tag.extra[ACCESS]);
    if (access != "" && access != "ro" && access != "rw")
        return "the access \"" + tag.extra[ACCESS] + "\" is neither ro nor rw";
    *writable = access == "rw";
    if (*writable && *place && ((*place)->space == Space::InputRegister || (*place)->space == Space::DiscreteInput))
        return std::string("rw on ") + SpaceName((*place)->space) +
               ": input registers and discrete inputs cannot be written over Modbus; use hr or coil";
    return {};
}

// The value columns of a row, or why not.
std::optional<ValueFormat> FormatOf(const Tag& tag, std::string* why)
{
    const FormatColumns columns{tag.extra[FORMAT], tag.extra[SCALE], tag.extra[OFFSET], tag.extra[UNIT]};
    if (tag.kind == ValueKind::Bit && !(columns.format + columns.scale + columns.offset + columns.unit).empty()) {
        *why = "a bit tag takes no format, scale, offset or unit: its values are 0 and 1";
        return std::nullopt;
    }
    return ParseValueFormat(columns, why);
}

// " (u32, scale 0.1, offset -40, m3/h)" for --plan; "" for a plain one.
std::string FormatText(const ValueFormat& format)
{
    std::string parts;
    const auto add = [&](const std::string& part) { parts += (parts.empty() ? "" : ", ") + part; };
    if (format.format != WordFormat::U16)
        add(WordFormatName(format.format));
    if (format.scale != 1)
        add("scale " + ValueNumberText({}, format.scale));
    if (format.offset != 0)
        add("offset " + ValueNumberText({}, format.offset));
    if (!format.unit.empty())
        add(kivhost::Printable(format.unit));
    return parts.empty() ? "" : " (" + parts + ")";
}

// Why topic is the gateway's own, given every tag's topic; empty if it is not.
std::string OwnTopicClash(const std::string& topic, const std::string& prefix, const std::set<std::string>& topics)
{
    if (topic.front() == '$')
        return "the topic \"" + topic + "\" begins with $, which is the broker's own";
    if (topic == prefix + "/status")
        return "the topic \"" + topic + "\" is the gateway's status";
    if (topic == prefix + "/stations" || topic.rfind(prefix + "/stations/", 0) == 0)
        return "the topic \"" + topic + "\" is where the gateway tells of its stations";
    for (const char* suffix : {"/set", "/set/result", "/quality"}) {
        const size_t length = std::char_traits<char>::length(suffix);
        if (topic.size() > length && topic.compare(topic.size() - length, length, suffix) == 0 &&
            topics.count(topic.substr(0, topic.size() - length)) != 0)
            return "the topic \"" + topic + "\" is the gateway's " + (suffix + 1) + " topic of the tag on \"" +
                   topic.substr(0, topic.size() - length) + "\"";
    }
    return {};
}

// The file's topic: none is PREFIX/NAME; "~/rest" is PREFIX/rest, so that
// a file moves with --mqtt-prefix; any other is the topic itself.
std::string ResolveTopic(const std::string& given, const std::string& name, const std::string& prefix)
{
    if (given.empty())
        return prefix + "/" + name;
    if (given.rfind("~/", 0) == 0)
        return prefix + given.substr(1);
    return given;
}

}  // namespace

const std::vector<std::string>& GateColumns()
{
    static const std::vector<std::string> COLUMNS = {"modbus", "topic", "access", "format", "scale", "offset", "unit"};
    return COLUMNS;
}

std::string CheckValueColumns(Tag* tag)
{
    tag->extra.resize(GateColumns().size());
    std::string why;
    const std::optional<ValueFormat> format = FormatOf(*tag, &why);
    if (!format)
        return why;
    tag->count *= format->Words();
    return {};
}

const char* SpaceName(Space space)
{
    switch (space) {
    case Space::HoldingRegister: return "hr";
    case Space::InputRegister: return "ir";
    case Space::Coil: return "coil";
    case Space::DiscreteInput: return "di";
    }
    return "?";
}

GateConfig MapTags(std::vector<Tag> tags, const std::string& fileName, const std::string& prefix)
{
    GateConfig config;
    auto fail = [&](const Tag& tag, std::string why) {
        config.errors.push_back(TagFileError{fileName, tag.line, "", std::move(why)});
    };
    std::vector<std::optional<Place>> places(tags.size());
    std::map<Space, int64_t> next;  // the first free after the highest given, per space
    for (size_t i = 0; i < tags.size(); ++i) {
        Tag& tag = tags[i];
        tag.extra.resize(GateColumns().size());
        GateTag gate;
        std::string why = CheckRow(tag, &places[i], &gate.writable);
        const std::optional<ValueFormat> format = why.empty() ? FormatOf(tag, &why) : std::nullopt;
        if (!format) {
            fail(tag, why);
            continue;
        }
        gate.format = *format;
        if (places[i])
            next[places[i]->space] = std::max(next[places[i]->space], places[i]->first + tag.count);
        gate.topic = ResolveTopic(tag.extra[TOPIC], tag.name, prefix);
        if (const std::string topicWhy = TopicProblem(gate.topic); !topicWhy.empty())
            fail(tag, topicWhy);
        gate.tag = std::move(tag);
        config.tags.push_back(std::move(gate));
    }
    if (!config.errors.empty())
        return config;

    // Who holds each register or coil, per space: a clash names both rows.
    std::map<Space, std::map<int64_t, size_t>> owners;  // first -> tag, runs do not overlap
    std::set<std::string> topics;
    for (size_t i = 0; i < config.tags.size(); ++i) {
        GateTag& gate = config.tags[i];
        const Tag& tag = gate.tag;
        Place place =
            places[i] ? *places[i] : Place{tag.kind == ValueKind::Bit ? Space::Coil : Space::HoldingRegister, 0};
        if (!places[i])
            place.first = next[place.space];
        const int64_t last = place.first + tag.count - 1;
        if (last >= MAP_SIZE) {
            fail(tag, "the run of " + std::to_string(tag.count) + " from " + SpaceName(place.space) + ":" +
                          std::to_string(place.first) + " goes past " + SpaceName(place.space) + ":65535");
            continue;
        }
        if (!places[i])
            next[place.space] = last + 1;
        auto& taken = owners[place.space];
        // The run after or at first, and the one before it, are the only ones it may overlap.
        auto after = taken.lower_bound(place.first);
        std::optional<size_t> clash;
        if (after != taken.end() && after->first <= last)
            clash = after->second;
        if (!clash && after != taken.begin()) {
            const auto before = std::prev(after);
            const GateTag& other = config.tags[before->second];
            if (before->first + other.tag.count > place.first)
                clash = before->second;
        }
        if (clash) {
            const GateTag& other = config.tags[*clash];
            fail(tag, std::string("two tags on one register: ") + SpaceName(place.space) + ":" +
                          std::to_string(std::max<int64_t>(place.first, other.first)) + " is also \"" + other.tag.name +
                          "\"'s (line " + std::to_string(other.tag.line) + ")");
            continue;
        }
        taken.emplace(place.first, i);
        gate.space = place.space;
        gate.first = static_cast<uint16_t>(place.first);
        if (!topics.insert(gate.topic).second)
            fail(tag, "the topic \"" + gate.topic + "\" is taken by an earlier row");
    }
    // A tag's topic must not be one the gateway publishes or listens on for
    // something else: its value would overwrite a status, or be taken as
    // another tag's set command.
    for (const GateTag& gate : config.tags)
        if (std::string why = OwnTopicClash(gate.topic, prefix, topics); !why.empty())
            fail(gate.tag, why);
    std::sort(config.errors.begin(), config.errors.end(),
              [](const TagFileError& a, const TagFileError& b) { return a.line < b.line; });
    return config;
}

std::vector<Tag> ScanTags(const std::vector<GateTag>& tags)
{
    std::vector<Tag> out;
    out.reserve(tags.size());
    for (const GateTag& gate : tags)
        out.push_back(gate.tag);
    return out;
}

std::string GatePlanText(const std::vector<GateTag>& tags, const kivhost::ReadPlan& plan, int maxGap,
                         const kivhost::LineOptions& line)
{
    std::string text = kivhost::PlanText(ScanTags(tags), plan, maxGap, line);
    text += "\nModbus map:\n";
    std::vector<size_t> order(tags.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return std::pair(tags[a].space, tags[a].first) < std::pair(tags[b].space, tags[b].first);
    });
    for (size_t i : order) {
        const GateTag& gate = tags[i];
        std::string where = std::string(SpaceName(gate.space)) + ":" + std::to_string(gate.first);
        if (gate.tag.count > 1)
            where += "-" + std::to_string(gate.first + gate.tag.count - 1);
        text += kivhost::Printf("  %-16s %-3s %-9s %s%s\n", where.c_str(), gate.writable ? "rw" : "ro",
                                gate.tag.text.c_str(), kivhost::Printable(gate.tag.name).c_str(),
                                FormatText(gate.format).c_str());
    }
    text += "\nTopics:\n";
    for (const GateTag& gate : tags)
        text += "  " + kivhost::Printable(gate.topic) +
                (gate.writable ? "  (and " + kivhost::Printable(gate.topic) + "/set)" : "") + "\n";
    return text;
}

}  // namespace kivgate
