// kivhost scan: a tag list read cycle after cycle in planned blocks, with
// logs of whole cycles and the stations that stop answering asked again
// now and then.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <set>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "common/stop_signals.h"
#include "common/time_stamp.h"
#include "common/tool_text.h"
#include "fieldkit/tag_loading.h"
#include "kivhost/cycle_loop.h"
#include "kivhost/kivhost_commands.h"
#include "kivhost/live_view.h"
#include "kivhost/log_files.h"
#include "scan/block_planner.h"
#include "scan/port_keeper.h"
#include "scan/scan_engine.h"
#include "scan/scan_line.h"
#include "scan/scan_logs.h"
#include "scan/scan_messages.h"
#include "scan/scan_plan.h"
#include "scan/scan_table.h"

namespace kivhost {
namespace {

constexpr size_t EVENTS_SHOWN = 3;

// The logs get whole cycles only: each cycle's rows go out in one write,
// so a killed scan leaves the cycles before it whole (a full disk, a short
// tail without its line feed, which the next run steps over).
void LogCycle(const ScanEngine& engine, OutputFile* csv, OutputFile* jsonl)
{
    std::string csvRows;
    std::string jsonlRows;
    for (size_t i = 0; i < engine.Tags().size(); ++i) {
        if (csv->IsOpen())
            for (const std::string& row : CsvRows(engine, i))
                csvRows += row + "\n";
        if (jsonl->IsOpen())
            jsonlRows += JsonlRow(engine, i) + "\n";
    }
    if (csv->IsOpen())
        csv->Write(csvRows);
    if (jsonl->IsOpen())
        jsonl->Write(jsonlRows);
}

// Why the scan ends with a failure: the reads that failed and the stations
// they asked, the stations not answering at its end and the blocks still
// set aside.
std::string ScanFailure(const ScanEngine& engine)
{
    const ReadPlan& plan = engine.Plan();
    std::set<int> failedAt;
    for (size_t i = 0; i < engine.Tags().size(); ++i)
        if (engine.States()[i].failed > 0)
            failedAt.insert(plan.blocks[plan.places[i].block].start.station);
    std::string stations;
    for (int station : failedAt)
        stations += (stations.empty() ? "" : ", ") + StationText(station);

    std::set<int> downStations;
    std::string down;
    for (const StationState& station : engine.Stations()) {
        if (!station.down)
            continue;
        downStations.insert(station.station);
        down += down.empty() ? "" : ", ";
        down += StationText(station.station) + " (" + OutcomeText(station.reason) + " since " +
                UtcTimestamp(station.downSince) + ")";
    }
    std::string aside;
    for (size_t b = 0; b < plan.blocks.size(); ++b) {
        const int station = plan.blocks[b].start.station;
        if (!engine.Blocks()[b].down || downStations.count(station) != 0)
            continue;
        aside += aside.empty() ? "" : ", ";
        aside += BlockName(plan.blocks[b]) + " (station " + StationText(station) + ", " +
                 OutcomeText(engine.Blocks()[b].reason) + ")";
    }
    std::string text = std::to_string(engine.Failures()) + " of " + std::to_string(engine.Exchanges()) +
                       " block reads failed" + (stations.empty() ? "" : ", at " + stations);
    if (!down.empty())
        text += "; not answering at the end: " + down;
    if (!aside.empty())
        text += "; blocks set aside at the end: " + aside;
    if (down.empty() && aside.empty())
        text += "; every station and block answered at the end";
    return text;
}

// The stations' events of the cycle and the port's since the last, in the
// order they happened.
std::vector<std::pair<WallTime, std::string>> CycleEvents(const ScanEngine& engine, PortKeeper& port)
{
    std::vector<std::pair<WallTime, std::string>> events;
    for (const ScanEvent& event : engine.Events())
        events.emplace_back(event.time, EventText(engine, event));
    for (PortEvent& event : port.TakeEvents())
        events.emplace_back(event.time, std::move(event.message));
    std::stable_sort(events.begin(), events.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    return events;
}

}  // namespace

int RunScan(Context& context)
{
    const Options& options = context.options;
    const ScanOptions& scan = options.scan;
    JsonObject json;
    json.Text("command", "scan");
    std::vector<Tag> tags;
    if (int status = StartChannel(context, json); status != EXIT_DONE)
        return status;
    if (int status = LoadTagFile(context, scan.tagFile, &tags); status != EXIT_DONE)
        return status;
    ReadPlan plan = PlanReads(tags, scan.maxGap);
    if (scan.plan) {
        context.session.End();
        const std::string text = options.json ? PlanJson(tags, plan, scan.maxGap, options.line) + "\n"
                                              : PlanText(tags, plan, scan.maxGap, options.line);
        std::fputs(text.c_str(), context.output.Results());
        std::fflush(context.output.Results());
        return EXIT_DONE;
    }

    OutputFile csv;
    OutputFile jsonl;
    for (auto [path, name, header, file] :
         {std::tuple{&scan.csvPath, "the CSV log", CSV_HEADER, &csv},
          std::tuple{&scan.jsonlPath, "the JSON Lines log", std::string_view(), &jsonl}}) {
        if (path->empty())
            continue;
        if (int status = OpenLog(*path, name, header, file); status != EXIT_DONE) {
            context.session.End();
            return status;
        }
    }
    if (int status = OpenLine(context, json); status != EXIT_DONE)
        return status;

    size_t longestReply = 0;
    for (const ReadBlock& block : plan.blocks)
        longestReply = std::max(longestReply, ReplyBytes(block));
    StopToken& stop = CatchStopSignals(options.line, longestReply);

    ScanSettings settings;
    settings.retryDown = std::chrono::seconds(scan.retryDownS);
    ScanEngine engine(std::move(tags), std::move(plan), settings);
    PortKeeper port(context.session, options.line, settings.retryDown);
    ScanLine line(context.session, context.reporter, options.line.TimeoutMs(), &port);

    LiveView view(options, context.output);
    TableView table;
    table.title = "kivhost scan " + scan.tagFile + " on " + options.line.portGivenAs + " (" +
                  std::to_string(options.line.baud) + " " + options.line.FormatText() + ", time-out " +
                  std::to_string(options.line.TimeoutMs()) + " ms), every " + std::to_string(options.intervalMs) +
                  " ms" + (options.cycles == 0 ? ": Ctrl-C stops" : ", " + std::to_string(options.cycles) + " cycles");
    std::deque<std::string> events;

    const auto started = std::chrono::steady_clock::now();
    // Something on screen before a station that does not answer takes its four time-outs.
    if (view.Redraws()) {
        view.Size(&table.width, &table.height);
        view.Draw(TableLines(engine, table));
    }
    // A cycle waits for a block due: with every station set aside it would ask nothing.
    for (CycleLoop loop(options.intervalMs, options.cycles, stop, &port);
         loop.Next(engine.NextDue(std::chrono::steady_clock::now()));) {
        RunCycle(engine, line, stop);
        if (const std::string overrun = loop.WorkDone(); !overrun.empty() && !view.Redraws())
            Tell(overrun);
        const CycleStats& cycle = engine.Cycle();
        if (cycle.complete && cycle.exchanges > 0)
            LogCycle(engine, &csv, &jsonl);
        for (const auto& [when, text] : CycleEvents(engine, port)) {
            const std::string time = UtcTimestamp(when);
            if (view.Redraws()) {
                events.push_back(time.substr(11, 12) + " " + text);
                if (events.size() > EVENTS_SHOWN)
                    events.pop_front();
            } else {
                Tell(time + " " + text);
            }
        }
        if (options.json && cycle.complete) {
            view.Line(CycleJson(engine));
        } else if (view.Redraws()) {
            // After a Ctrl-C its message stands under the table: left as it is.
            if (stop.Requested())
                break;
            view.Size(&table.width, &table.height);
            table.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            table.events.assign(events.begin(), events.end());
            table.notes.clear();
            if (!loop.Overrun().Current().empty())
                table.notes.push_back(loop.Overrun().Current());
            view.Draw(TableLines(engine, table));
        } else if (cycle.complete) {
            view.Line(CycleLine(engine));
        }
    }
    context.session.End();
    // A log that could not be written stopped the scan: said first.
    for (OutputFile* log : {&csv, &jsonl})
        if (!log->Close())
            return Complain(EXIT_FAILED, log->Error());

    const std::string portLosses = port.Summary();
    if (engine.Failures() == 0 && portLosses.empty())
        return EXIT_DONE;
    if (engine.Failures() == 0)
        return Complain(EXIT_FAILED, portLosses);
    return Complain(EXIT_FAILED, ScanFailure(engine) + (portLosses.empty() ? "" : "; " + portLosses));
}

}  // namespace kivhost
