#include "scan/scan_plan.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <utility>

#include "common/json_object.h"
#include "common/tool_text.h"
#include "scan/scan_messages.h"
#include "wire/address_area.h"

namespace kivhost {

std::string PlanText(const std::vector<Tag>& tags, const ReadPlan& plan, int maxGap, const LineOptions& line)
{
    std::vector<std::vector<size_t>> served(plan.blocks.size());
    for (size_t i = 0; i < plan.places.size(); ++i)
        served[plan.places[i].block].push_back(i);
    std::string out;
    double totalMs = 0;
    size_t totalBytes = 0;
    char text[200];
    std::snprintf(text, sizeof text, "%-5s %-7s %-15s %-14s %9s  %s\n", "Block", "Station", "Read", "Bytes out/in",
                  "Wire", "Tags (offset)");
    out += text;
    for (size_t b = 0; b < plan.blocks.size(); ++b) {
        const ReadBlock& block = plan.blocks[b];
        const size_t reply = ReplyBytes(block);
        const double ms = WireMs(READ_REQUEST_BYTES + reply, line);
        totalMs += ms;
        totalBytes += READ_REQUEST_BYTES + reply;
        std::string names;
        for (size_t tag : served[b]) {
            const TagPlace& place = plan.places[tag];
            if (!names.empty())
                names += ", ";
            names += Printable(tags[tag].name) + " (+" + std::to_string(place.offset) +
                     (place.bit != NO_BIT ? std::string(".") + std::to_string(place.bit) : std::string()) + ")";
        }
        const std::string bytes = std::to_string(READ_REQUEST_BYTES) + "/" + std::to_string(reply);
        std::snprintf(text, sizeof text, "%-5zu %-7s %-15s %-14s %6.1f ms  ", b + 1,
                      StationText(block.start.station).c_str(), BlockName(block).c_str(), bytes.c_str(), ms);
        out += text + names + "\n";
    }
    const std::string gap = maxGap == NO_GROUPING ? "grouping off" : "max gap " + std::to_string(maxGap);
    out += Plural(static_cast<long long>(tags.size()), "tag", "tags") + " in " +
           Plural(static_cast<long long>(plan.blocks.size()), "block", "blocks") + " (" + gap +
           "): " + Plural(static_cast<long long>(plan.blocks.size()), "exchange", "exchanges") + " a cycle, " +
           std::to_string(totalBytes) + " characters, " + Printf("%.1f ms", totalMs) + " on the line at " +
           std::to_string(line.baud) + " baud\n";
    return out;
}

std::string PlanJson(const std::vector<Tag>& tags, const ReadPlan& plan, int maxGap, const LineOptions& line)
{
    std::vector<Json> served(plan.blocks.size(), Json::array());
    for (size_t i = 0; i < plan.places.size(); ++i) {
        const TagPlace& place = plan.places[i];
        served[place.block].push_back({
            {"name", tags[i].name},
            {"address", tags[i].text},
            {"offset", place.offset},
            {"count", place.count},
            {"bit", place.bit},
        });
    }
    Json blocks = Json::array();
    double totalMs = 0;
    for (size_t b = 0; b < plan.blocks.size(); ++b) {
        const ReadBlock& block = plan.blocks[b];
        const size_t reply = ReplyBytes(block);
        const double ms = WireMs(READ_REQUEST_BYTES + reply, line);
        totalMs += ms;
        blocks.push_back({
            {"station", block.start.station},
            {"address", ElementAddress(block.start, 0)},
            {"count", block.count},
            {"request_bytes", READ_REQUEST_BYTES},
            {"reply_bytes", reply},
            {"wire_ms", MsNumber(ms)},
            {"tags", std::move(served[b])},
        });
    }
    Json json;
    json["command"] = "plan";
    json["max_gap"] = maxGap;
    json["tags"] = tags.size();
    json["exchanges"] = plan.blocks.size();
    json["wire_ms"] = MsNumber(totalMs);
    json["blocks"] = std::move(blocks);
    return JsonText(json);
}

}  // namespace kivhost
