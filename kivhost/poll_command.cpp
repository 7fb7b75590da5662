// kivhost poll: addresses (and the tags of a file) read cycle after cycle,
// each with its counts and times.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>

#include "common/stop_signals.h"
#include "common/time_stamp.h"
#include "common/tool_text.h"
#include "fieldkit/exchange_text.h"
#include "fieldkit/tag_loading.h"
#include "fieldkit/value_text.h"
#include "hosting/judged_exchange.h"
#include "kivhost/cycle_loop.h"
#include "kivhost/kivhost_commands.h"
#include "kivhost/live_view.h"
#include "scan/port_keeper.h"
#include "scan/scan_engine.h"

namespace kivhost {
namespace {

struct PolledTag {
    std::string text;
    DriverAddress address{};
    int32_t count = 1;
    std::vector<uint16_t> values;
    int32_t lastResult = SUCCESS;
    ExchangeReport lastReport;
    std::string lastTime;     // ISO 8601, of the last read
    std::string lastFailure;  // the one line of the last failed read
    uint64_t good = 0;
    uint64_t failed = 0;
    uint64_t retries = 0;  // attempts beyond the first, good reads or not
    double lastMs = 0;
    double totalMs = 0;

    double AverageMs() const { return good + failed == 0 ? 0 : totalMs / static_cast<double>(good + failed); }

    std::string Values(size_t width) const
    {
        if (good + failed == 0)
            return "(waiting)";
        if (lastResult == REJECTED)
            return "(rejected)";
        if (lastResult != SUCCESS)
            return std::string("(") + OutcomeText(lastReport.outcome) + ")";
        if (!ExchangeGood(lastResult, lastReport))
            return std::string("(") + ReasonName(lastReport) + ")";
        return ValueList(address, values, width);
    }

    // What to know about the last read beyond its values.
    std::string Flags() const
    {
        std::string flags;
        if (lastReport.Attempts() > 1)
            flags += std::to_string(lastReport.Attempts()) + " attempts";
        if (lastReport.possiblyLate)
            flags += std::string(flags.empty() ? "" : ", ") + "late?";
        // A doubted reply says why in place of its values.
        if (lastReport.checksumSuspect && ExchangeGood(lastResult, lastReport))
            flags += std::string(flags.empty() ? "" : ", ") + "checksum?";
        return flags;
    }
};

std::string TableLine(const PolledTag& tag)
{
    char line[200];
    std::snprintf(line, sizeof line, "%-9s %-32s %7llu %7llu %7llu %9.2f %9.2f  %s", tag.text.c_str(),
                  tag.Values(28).c_str(), static_cast<unsigned long long>(tag.good),
                  static_cast<unsigned long long>(tag.failed), static_cast<unsigned long long>(tag.retries), tag.lastMs,
                  tag.AverageMs(), tag.Flags().c_str());
    return line;
}

JsonObject TagJson(const PolledTag& tag)
{
    JsonObject json;
    json.Text("address", tag.text).Text("time", tag.lastTime);
    ResultJson(json, tag.lastResult).Values("values", tag.values);
    return ExchangeJson(json, tag.lastResult, tag.lastReport, tag.lastFailure)
        .Number("good", static_cast<long long>(tag.good))
        .Number("failed", static_cast<long long>(tag.failed))
        .Number("retries", static_cast<long long>(tag.retries))
        .Ms("last_ms", tag.lastMs)
        .Ms("avg_ms", tag.AverageMs());
}

// The cycle as one line, for a file or a pipe.
std::string PollLine(uint32_t cycle, const std::vector<PolledTag>& tags)
{
    std::string line = "cycle " + std::to_string(cycle) + ":";
    for (const PolledTag& tag : tags) {
        const std::string flags = tag.Flags();
        line += " " + tag.text + " " + tag.Values(80) + " (" + Ms(tag.lastMs) + ", good " + std::to_string(tag.good) +
                ", failed " + std::to_string(tag.failed) + ", avg " + Ms(tag.AverageMs()) +
                (flags.empty() ? "" : "; " + flags) + ");";
    }
    line.pop_back();
    return line;
}

// The table to draw in place: a header, a line a tag, the cycle (0 before
// the first read) and the notes.
std::vector<std::string> PollTable(uint32_t cycle, const std::vector<PolledTag>& tags, const Options& options,
                                   const std::vector<std::string>& notes)
{
    char line[200];
    std::snprintf(line, sizeof line, "%-9s %-32s %7s %7s %7s %9s %9s  %s", "Address", "Values", "Good", "Failed",
                  "Retries", "Last ms", "Avg ms", "Notes");
    std::vector<std::string> lines = {line};
    for (const PolledTag& tag : tags)
        lines.push_back(TableLine(tag));
    if (cycle == 0)
        std::snprintf(line, sizeof line, "waiting for the first replies, then every %u ms",
                      static_cast<unsigned>(options.intervalMs));
    else if (options.cycles == 0)
        std::snprintf(line, sizeof line, "cycle %u, every %u ms - Ctrl-C stops", cycle,
                      static_cast<unsigned>(options.intervalMs));
    else
        std::snprintf(line, sizeof line, "cycle %u of %u, every %u ms", cycle, static_cast<unsigned>(options.cycles),
                      static_cast<unsigned>(options.intervalMs));
    lines.push_back(line);
    lines.insert(lines.end(), notes.begin(), notes.end());
    return lines;
}

// Why the poll ends with a failure: how many reads failed, every station
// and address that failed, and the last failure's line.
std::string PollFailure(const std::vector<PolledTag>& tags, uint64_t failedReads, uint64_t allReads,
                        const std::string& lastFailure)
{
    std::map<int, std::string> byStation;
    for (const PolledTag& tag : tags) {
        if (tag.failed == 0)
            continue;
        std::string& list = byStation[tag.address.station];
        list += (list.empty() ? "" : ", ") + tag.text + " (" + std::to_string(tag.failed) + " of " +
                std::to_string(tag.good + tag.failed) + ")";
    }
    std::string stations;
    for (const auto& [station, list] : byStation)
        stations += (stations.empty() ? "" : "; ") + ("station " + StationText(station) + ": " + list);
    return std::to_string(failedReads) + " of " + std::to_string(allReads) + " reads failed, at " + stations +
           "; the last: " + lastFailure;
}

}  // namespace

int RunPoll(Context& context)
{
    const Options& options = context.options;
    JsonObject startJson;
    startJson.Text("command", "poll");

    // Every address is checked before the port is opened.
    if (int status = StartChannel(context, startJson); status != EXIT_DONE)
        return status;
    std::vector<PolledTag> tags;
    for (const std::string& text : options.addresses) {
        PolledTag tag;
        tag.text = text;
        JsonObject json = startJson;
        json.Text("address", text);
        if (int status = ParseForIo(context, text, options.count, nullptr, &tag.address, json); status != EXIT_DONE)
            return status;
        tag.count = options.count;
        tags.push_back(tag);
    }
    // --tags: the file's rows, each checked by the parser with its own count.
    std::vector<Tag> fileTags;
    if (!options.pollTags.empty())
        if (int status = LoadTagFile(context, options.pollTags, &fileTags); status != EXIT_DONE)
            return status;
    for (const Tag& fileTag : fileTags) {
        PolledTag tag;
        tag.text = fileTag.text;
        tag.address = fileTag.address;
        tag.count = fileTag.count;
        tags.push_back(tag);
    }
    if (int status = OpenLine(context, startJson); status != EXIT_DONE)
        return status;

    size_t longestReply = 0;
    for (const PolledTag& tag : tags)
        longestReply = std::max(longestReply, ReplyBytes(ReadBlock{tag.address, tag.count}));
    StopToken& stop = CatchStopSignals(options.line, longestReply);
    LiveView view(options, context.output);
    uint64_t failedReads = 0;
    uint64_t allReads = 0;
    std::string lastFailure;
    // On a redrawn table the notes are lines of it: a line of its own would
    // be drawn over, or leave the table's top behind.
    std::vector<std::string> notes;
    const auto note = [&](const std::string& text) {
        if (!view.Redraws())
            Tell(text);
        else if (std::find(notes.begin(), notes.end(), text) == notes.end())
            notes.push_back(text);
    };
    // Something on screen before a station that does not answer takes its four time-outs.
    if (view.Redraws())
        view.Draw(PollTable(0, tags, options, notes));
    PortKeeper port(context.session, options.line, std::chrono::seconds(options.scan.retryDownS));
    for (CycleLoop loop(options.intervalMs, options.cycles, stop, &port); loop.Next();) {
        for (PolledTag& tag : tags) {
            stop.SetBusy(true);
            std::vector<uint16_t> values;
            JudgedExchange done = JudgedRead(context.session, context.reporter, tag.address, tag.count, &values);
            stop.SetBusy(false);
            // Not the station's failure: the tag keeps its last read.
            if (port.Lost(done.report))
                break;
            tag.lastResult = done.result;
            tag.values = std::move(values);
            tag.lastTime = UtcTimestamp();
            tag.lastMs = done.ms;
            tag.totalMs += tag.lastMs;
            tag.lastReport = std::move(done.report);
            if (tag.lastReport.Attempts() > 1)
                tag.retries += static_cast<uint64_t>(tag.lastReport.Attempts() - 1);
            if (tag.lastReport.checksumUnused >= 0)
                note(ChecksumNotice(tag.lastReport.checksumUnused));
            const bool good = ExchangeGood(tag.lastResult, tag.lastReport);
            (good ? tag.good : tag.failed) += 1;
            ++allReads;
            if (!good) {
                ++failedReads;
                tag.lastFailure = ExchangeFailure(tag.address, tag.text, false, tag.lastResult, tag.lastReport,
                                                  options.line.TimeoutMs());
                lastFailure = tag.lastFailure;
            }
            if (stop.Requested())
                break;
        }
        if (const std::string overrun = loop.WorkDone(); !overrun.empty() && !view.Redraws())
            Tell(overrun);
        for (const PortEvent& event : port.TakeEvents())
            note(UtcTimestamp(event.time) + " " + event.message);

        if (options.json) {
            std::vector<JsonObject> list;
            for (const PolledTag& tag : tags)
                list.push_back(TagJson(tag));
            JsonObject json;
            json.Text("command", "poll")
                .Text("time", UtcTimestamp())
                .Number("cycle", loop.Number())
                .Objects("tags", list);
            view.Line(json.Done());
        } else if (view.Redraws()) {
            // After a Ctrl-C its message stands under the table: left as it is.
            if (stop.Requested())
                break;
            std::vector<std::string> shown = notes;
            if (!loop.Overrun().Current().empty())
                shown.push_back(loop.Overrun().Current());
            view.Draw(PollTable(loop.Number(), tags, options, shown));
        } else {
            view.Line(PollLine(loop.Number(), tags));
        }
    }
    for (const PortEvent& event : port.TakeEvents())
        Tell(UtcTimestamp(event.time) + " " + event.message);
    context.session.End();

    const std::string portLosses = port.Summary();
    if (failedReads > 0)
        return Complain(EXIT_FAILED, PollFailure(tags, failedReads, allReads, lastFailure) +
                                         (portLosses.empty() ? "" : "; " + portLosses));
    if (!portLosses.empty())
        return Complain(EXIT_FAILED, portLosses);
    return EXIT_DONE;
}

}  // namespace kivhost
