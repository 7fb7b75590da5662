#include "scan_output.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "address_area.h"
#include "exchange_report.h"
#include "json_object.h"
#include "tool_text.h"

namespace kivhost {
namespace {

constexpr double PAGE_SECONDS = 3;  // how long a page of tags stays
constexpr size_t NAME_WIDTH = 16;
constexpr size_t VALUE_WIDTH = 19;  // "1011 0000 1100 0001", or "  4660  0x1234"
constexpr int BITS_PER_ROW = 16;

std::string Format(const char* format, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// 22:13:37.123, for the table (UTC, as the logs).
std::string ClockTime(WallTime time)
{
    return UtcTimestamp(time).substr(11, 12);
}

std::string ValuesJson(const TagState& state)
{
    if (state.values.empty() && state.quality != Quality::Good)
        return "null";
    return JsonValues(state.values);
}

std::string Plural(long long n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string CsvField(std::string_view text)
{
    const bool quote = text.find_first_of(",\"\r\n") != std::string_view::npos ||
                       (!text.empty() && (text.front() == ' ' || text.back() == ' '));
    if (!quote)
        return std::string(text);
    std::string out = "\"";
    for (char c : text) {
        out += c;
        if (c == '"')
            out += '"';
    }
    return out + "\"";
}

const char* EventKindName(ScanEvent::Kind kind)
{
    switch (kind) {
    case ScanEvent::Kind::StationDown: return "station-down";
    case ScanEvent::Kind::StillDown: return "still-down";
    case ScanEvent::Kind::StationBack: return "station-back";
    case ScanEvent::Kind::BlockRefused: return "block-refused";
    case ScanEvent::Kind::BlockBack: return "block-back";
    }
    return "?";
}

std::string RetryWords(const ScanEngine& engine)
{
    const auto ms = engine.Settings().retryDown.count();
    return ms % 1000 == 0 ? Plural(ms / 1000, "s", "s") : Format("%.1f s", static_cast<double>(ms) / 1000);
}

bool IsWordTag(const Tag& tag)
{
    return tag.address.operand == 'W' && tag.address.bit == NO_BIT;
}

// The rows of one tag in the table: its elements, words one a row in
// decimal and hex, bits sixteen a row.
void TagRows(const ScanEngine& engine, size_t index, std::vector<std::string>* rows)
{
    const Tag& tag = engine.Tags()[index];
    const TagState& state = engine.States()[index];
    const bool words = IsWordTag(tag);
    const size_t elements = state.values.size();
    const size_t perRow = words ? 1 : BITS_PER_ROW;
    const size_t count = std::max<size_t>(1, (elements + perRow - 1) / perRow);
    const std::string lastGood = state.lastGood ? ClockTime(*state.lastGood) : "-";
    const std::string attempts = state.attempts > 0 ? std::to_string(state.attempts) : "";
    for (size_t row = 0; row < count; ++row) {
        std::string value;
        if (elements == 0) {
            value = "-";
        } else if (words) {
            char text[32];
            std::snprintf(text, sizeof text, "%6u  0x%04X", static_cast<unsigned>(state.values[row]),
                          static_cast<unsigned>(state.values[row]));
            value = text;
        } else {
            for (size_t i = row * perRow; i < std::min(elements, (row + 1) * perRow); ++i) {
                if (i > row * perRow && i % 4 == 0)
                    value += ' ';
                value += state.values[i] ? '1' : '0';
            }
        }
        const std::string address =
            tag.address.bit != NO_BIT ? tag.text : ElementAddress(tag.address, static_cast<int>(row * perRow));
        std::string line = Fit(row == 0 ? tag.name : "", NAME_WIDTH) + " " + Fit(address, 9) + " ";
        line += words ? Fit(std::string(VALUE_WIDTH - std::min(VALUE_WIDTH, value.size()), ' ') + value, VALUE_WIDTH)
                      : Fit(value, VALUE_WIDTH);
        if (row == 0)
            line += "  " + Fit(QualityName(state.quality), 8) + " " + Fit(lastGood, 13) + " " +
                    Fit(ReasonText(state), 15) + " " + attempts;
        rows->push_back(line);
    }
}

}  // namespace

std::string ValueText(const TagState& state)
{
    std::string out;
    for (uint16_t value : state.values) {
        if (!out.empty())
            out += ' ';
        out += std::to_string(value);
    }
    return out;
}

std::string ReasonText(const TagState& state)
{
    if (state.quality == Quality::Failed || state.quality == Quality::Down)
        return OutcomeName(state.reason);
    if (state.quality != Quality::Good)
        return "";
    std::string flags;
    if (state.late)
        flags = "late?";
    if (state.checksum)
        flags += flags.empty() ? "checksum?" : " checksum?";
    return flags;
}

std::string TagMessage(const ScanEngine& engine, size_t tag)
{
    const TagState& state = engine.States()[tag];
    const ReadBlock& block = engine.Plan().blocks[engine.Plan().places[tag].block];
    switch (state.quality) {
    case Quality::Failed: return state.message;
    case Quality::Down:
        return "station " + StationText(block.start.station) +
               (IsSilence(state.reason) ? "" : " refused the read of " + BlockName(block) + ", which") +
               " is set aside after " + OutcomeText(state.reason) + " and asked again every " + RetryWords(engine) +
               "; the value is the last good one";
    case Quality::Rejected: return "the driver rejected the read of " + BlockName(block) + " (REJECTED)";
    case Quality::Good:
        if (state.late)
            return "possibly a late answer: an attempt before it to the station timed out, and the protocol carries "
                   "no request number; raise --timeout";
        if (state.checksum)
            return "checksum? the reply does not end in the checksum of the request rule";
        return "";
    case Quality::None: break;
    }
    return "";
}

std::string CsvRow(const ScanEngine& engine, size_t tag)
{
    const Tag& t = engine.Tags()[tag];
    const TagState& state = engine.States()[tag];
    return UtcTimestamp(engine.Cycle().start) + "," + CsvField(t.name) + "," + CsvField(t.text) + "," +
           CsvField(ValueText(state)) + "," + QualityName(state.quality) + "," + CsvField(ReasonText(state)) + "," +
           std::to_string(state.attempts);
}

std::string JsonlRow(const ScanEngine& engine, size_t tag)
{
    const Tag& t = engine.Tags()[tag];
    const TagState& state = engine.States()[tag];
    JsonObject json;
    json.Text("time", UtcTimestamp(engine.Cycle().start))
        .Text("name", t.name)
        .Text("address", t.text)
        .Raw("value", ValuesJson(state))
        .Text("quality", QualityName(state.quality))
        .Text("reason", ReasonText(state))
        .Number("attempts", state.attempts)
        .Raw("last_good", state.lastGood ? JsonString(UtcTimestamp(*state.lastGood)) : "null");
    return json.Done();
}

std::string EventText(const ScanEngine& engine, const ScanEvent& event)
{
    const std::string station = "station " + StationText(event.station);
    const std::string block = BlockName(engine.Plan().blocks[event.block]);
    const std::string why =
        std::string(OutcomeText(event.reason)) + ", " + Plural(event.attempts, "attempt", "attempts");
    switch (event.kind) {
    case ScanEvent::Kind::StationDown:
        return station + " stopped answering (" + why + " to the read of " + block +
               "): its tags keep their last values; asked again every " + RetryWords(engine);
    case ScanEvent::Kind::StillDown:
        return station + " still does not answer (" + why + "); asked again in " + RetryWords(engine);
    case ScanEvent::Kind::StationBack:
        return station + " answers again, after " + Format("%.1f s", event.downSeconds) + " set aside";
    case ScanEvent::Kind::BlockRefused:
        return station + " answers the read of " + block + " with " + why + ": asked again every " + RetryWords(engine);
    case ScanEvent::Kind::BlockBack: return station + " answers the read of " + block + " again";
    }
    return "";
}

std::string CycleJson(const ScanEngine& engine)
{
    const CycleStats& cycle = engine.Cycle();
    std::string events = "[";
    for (const ScanEvent& event : engine.Events()) {
        if (events.size() > 1)
            events += ",";
        events += JsonObject()
                      .Text("time", UtcTimestamp(event.time))
                      .Text("event", EventKindName(event.kind))
                      .Number("station", event.station)
                      .Text("block", BlockName(engine.Plan().blocks[event.block]))
                      .Text("reason", event.reason == Outcome::Good ? "" : OutcomeName(event.reason))
                      .Number("attempts", event.attempts)
                      .Text("message", EventText(engine, event))
                      .Done();
    }
    std::string tags = "[";
    for (size_t i = 0; i < engine.Tags().size(); ++i) {
        const Tag& tag = engine.Tags()[i];
        const TagState& state = engine.States()[i];
        if (tags.size() > 1)
            tags += ",";
        JsonObject json;
        json.Text("name", tag.name)
            .Text("address", tag.text)
            .Raw("value", ValuesJson(state))
            .Text("quality", QualityName(state.quality))
            .Text("reason", ReasonText(state))
            .Number("attempts", state.attempts)
            .Raw("last_good", state.lastGood ? JsonString(UtcTimestamp(*state.lastGood)) : "null")
            .Number("good", static_cast<long long>(state.good))
            .Number("failed", static_cast<long long>(state.failed))
            .Number("retried", static_cast<long long>(state.retried));
        const std::string message = TagMessage(engine, i);
        if (!message.empty())
            json.Text("message", message);
        tags += json.Done();
    }
    return JsonObject()
        .Text("command", "scan")
        .Text("time", UtcTimestamp(cycle.start))
        .Number("cycle", static_cast<long long>(cycle.number))
        .Raw("cycle_ms", JsonNumber(cycle.ms))
        .Raw("avg_ms", JsonNumber(engine.AverageMs()))
        .Raw("max_ms", JsonNumber(engine.MaxMs()))
        .Number("exchanges", cycle.exchanges)
        .Number("failures", cycle.failures)
        .Number("retries", cycle.retries)
        .Raw("events", events + "]")
        .Raw("tags", tags + "]")
        .Done();
}

std::string CycleLine(const ScanEngine& engine)
{
    const CycleStats& cycle = engine.Cycle();
    std::string line = "cycle " + std::to_string(cycle.number) + ": " + Format("%.1f ms", cycle.ms) + ", " +
                       Plural(cycle.exchanges, "exchange", "exchanges") + ", " + std::to_string(cycle.failures) +
                       " failed";
    for (size_t i = 0; i < engine.Tags().size(); ++i) {
        const TagState& state = engine.States()[i];
        line += "; " + engine.Tags()[i].name + " " + (state.values.empty() ? "-" : ValueText(state));
        if (state.quality != Quality::Good)
            line += std::string(" (") + QualityName(state.quality) +
                    (ReasonText(state).empty() ? "" : ": " + ReasonText(state)) + ")";
        else if (!ReasonText(state).empty())
            line += " (" + ReasonText(state) + ")";
    }
    return line;
}

std::vector<std::string> TableLines(const ScanEngine& engine, const TableView& view)
{
    const size_t width = static_cast<size_t>(std::max(view.width - 1, 20));  // the last column would wrap
    const CycleStats& cycle = engine.Cycle();
    std::vector<std::string> head;
    head.push_back(view.title);
    head.push_back("cycle " + std::to_string(cycle.number) + ": " + Format("%.1f ms", cycle.ms) + " (average " +
                   Format("%.1f", engine.AverageMs()) + ", max " + Format("%.1f", engine.MaxMs()) + "), " +
                   Plural(cycle.exchanges, "exchange", "exchanges") + " for " +
                   Plural(static_cast<long long>(engine.Tags().size()), "tag", "tags") + ", " +
                   std::to_string(cycle.failures) + " failed (" + std::to_string(engine.Failures()) + " of " +
                   std::to_string(engine.Exchanges()) + " in all)");

    // Stations: those in trouble one a line, the others on one.
    std::string up;
    std::vector<int> tagsOf(engine.Stations().size());
    std::vector<int> goodOf(engine.Stations().size());
    for (size_t i = 0; i < engine.Tags().size(); ++i) {
        const int station = engine.Plan().blocks[engine.Plan().places[i].block].start.station;
        for (size_t s = 0; s < engine.Stations().size(); ++s)
            if (engine.Stations()[s].station == station) {
                ++tagsOf[s];
                goodOf[s] += engine.States()[i].quality == Quality::Good;
            }
    }
    std::vector<std::string> trouble;
    std::string down;
    std::string partly;
    for (size_t s = 0; s < engine.Stations().size(); ++s) {
        const StationState& station = engine.Stations()[s];
        std::string& list = station.down ? down : goodOf[s] < tagsOf[s] ? partly : up;
        list += list.empty() ? "" : " ";
        list += StationText(station.station);
        if (station.down)
            trouble.push_back("station " + StationText(station.station) + " DOWN since " +
                              ClockTime(station.downSince) + " (" + OutcomeText(station.reason) + "), asked every " +
                              RetryWords(engine) + "; " + Plural(tagsOf[s], "tag", "tags") + " keep their last values");
        else if (goodOf[s] < tagsOf[s])
            trouble.push_back("station " + StationText(station.station) + " up, " + std::to_string(goodOf[s]) + " of " +
                              Plural(tagsOf[s], "tag", "tags") + " good");
    }
    // On a short terminal the stations in trouble share a line.
    if (static_cast<int>(trouble.size()) > std::max(1, view.height / 4)) {
        trouble.clear();
        if (!down.empty())
            trouble.push_back("stations DOWN, asked every " + RetryWords(engine) + ": " + down);
        if (!partly.empty())
            trouble.push_back("stations up with tags not good: " + partly);
    }
    head.insert(head.end(), trouble.begin(), trouble.end());
    if (!up.empty())
        head.push_back("stations up, all their tags good: " + up);

    std::vector<std::string> foot;
    for (const std::string& event : view.events)
        foot.push_back(event);

    std::vector<std::string> rows;
    for (size_t i = 0; i < engine.Tags().size(); ++i)
        TagRows(engine, i, &rows);
    const std::string columns = Fit("Name", NAME_WIDTH) + " " + Fit("Address", 9) + " " +
                                Fit("      Value     Hex", VALUE_WIDTH) + "  " + Fit("Quality", 8) + " " +
                                Fit("Last good UTC", 13) + " " + Fit("Reason", 15) + " Att";

    const int fixed = static_cast<int>(head.size() + foot.size()) + 1;  // and the column header
    const int room = view.height - 1 - fixed;                           // the cursor's line stays free
    std::vector<std::string> lines = head;
    if (room >= 1 && static_cast<int>(rows.size()) <= room) {
        lines.push_back(columns);
        lines.insert(lines.end(), rows.begin(), rows.end());
    } else if (room >= 2) {
        const size_t perPage = static_cast<size_t>(room - 1);  // and the page line
        const size_t pages = (rows.size() + perPage - 1) / perPage;
        const size_t page = static_cast<size_t>(std::floor(view.seconds / PAGE_SECONDS)) % pages;
        const size_t first = page * perPage;
        const size_t last = std::min(rows.size(), first + perPage);
        lines.push_back(columns);
        lines.insert(lines.end(), rows.begin() + static_cast<long>(first), rows.begin() + static_cast<long>(last));
        lines.push_back("rows " + std::to_string(first + 1) + "-" + std::to_string(last) + " of " +
                        std::to_string(rows.size()) + ", page " + std::to_string(page + 1) + " of " +
                        std::to_string(pages) + ", turning every " + Format("%.0f s", PAGE_SECONDS) +
                        " (a taller terminal shows more; --csv keeps every row)");
    } else {
        lines.push_back(Plural(static_cast<long long>(engine.Tags().size()), "tag", "tags") +
                        ": the terminal is too small for the table; --csv keeps every row");
    }
    lines.insert(lines.end(), foot.begin(), foot.end());
    for (std::string& line : lines)
        line = Fit(line, width);
    return lines;
}

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
            names += tags[tag].name + " (+" + std::to_string(place.offset) +
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
           std::to_string(totalBytes) + " characters, " + Format("%.1f ms", totalMs) + " on the line at " +
           std::to_string(line.baud) + " baud\n";
    return out;
}

std::string PlanJson(const std::vector<Tag>& tags, const ReadPlan& plan, int maxGap, const LineOptions& line)
{
    std::vector<std::string> served(plan.blocks.size(), "[");
    for (size_t i = 0; i < plan.places.size(); ++i) {
        const TagPlace& place = plan.places[i];
        std::string& list = served[place.block];
        if (list.size() > 1)
            list += ",";
        list += JsonObject()
                    .Text("name", tags[i].name)
                    .Text("address", tags[i].text)
                    .Number("offset", place.offset)
                    .Number("count", place.count)
                    .Number("bit", place.bit)
                    .Done();
    }
    std::string blocks = "[";
    double totalMs = 0;
    for (size_t b = 0; b < plan.blocks.size(); ++b) {
        const ReadBlock& block = plan.blocks[b];
        const size_t reply = ReplyBytes(block);
        const double ms = WireMs(READ_REQUEST_BYTES + reply, line);
        totalMs += ms;
        if (blocks.size() > 1)
            blocks += ",";
        blocks += JsonObject()
                      .Number("station", block.start.station)
                      .Text("address", ElementAddress(block.start, 0))
                      .Number("count", block.count)
                      .Number("request_bytes", static_cast<long long>(READ_REQUEST_BYTES))
                      .Number("reply_bytes", static_cast<long long>(reply))
                      .Raw("wire_ms", JsonNumber(ms))
                      .Raw("tags", served[b] + "]")
                      .Done();
    }
    return JsonObject()
        .Text("command", "plan")
        .Number("max_gap", maxGap)
        .Number("tags", static_cast<long long>(tags.size()))
        .Number("exchanges", static_cast<long long>(plan.blocks.size()))
        .Raw("wire_ms", JsonNumber(totalMs))
        .Raw("blocks", blocks + "]")
        .Done();
}

std::string Fit(std::string_view utf8, size_t width)
{
    std::string out;
    size_t points = 0;
    for (size_t i = 0; i < utf8.size(); ++i) {
        const auto byte = static_cast<unsigned char>(utf8[i]);
        if ((byte & 0xC0) != 0x80) {
            if (points == width)
                break;
            ++points;
        }
        out += utf8[i];
    }
    if (points < width)
        out.append(width - points, ' ');
    return out;
}

}  // namespace kivhost
