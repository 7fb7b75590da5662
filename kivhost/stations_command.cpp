// kivhost stations: each station of a range asked once, and which answer,
// how fast. A port that fails on the way is opened again, and the station
// being asked is asked again once it is back.
#include <chrono>
#include <cstdio>

#include "common/stop_signals.h"
#include "common/time_stamp.h"
#include "common/tool_text.h"
#include "kivhost/kivhost_commands.h"
#include "scan/port_keeper.h"
#include "scan/scan_engine.h"
#include "scan/scan_line.h"

namespace kivhost {
namespace {

constexpr uint32_t SURVEY_TIMEOUT_UNITS = 10;  // 100 ms, unless --timeout says otherwise

}  // namespace

int RunStations(Context& context)
{
    // A short time-out unless one is given: most stations asked may be absent.
    Options options = context.options;
    if (!options.line.timeoutGiven)
        options.line.timeoutUnits = SURVEY_TIMEOUT_UNITS;
    Context survey{options, context.session, context.output, context.library};
    const StationRange& range = options.range;
    JsonObject json;
    json.Text("command", "stations");
    if (int status = StartChannel(survey, json); status != EXIT_DONE)
        return status;
    if (int status = OpenLine(survey, json); status != EXIT_DONE)
        return status;
    ReadBlock oneWord;
    oneWord.start.operand = 'W';
    oneWord.count = 1;
    StopToken& stop = CatchStopSignals(options.line, ReplyBytes(oneWord));

    FILE* out = context.output.Results();
    PortKeeper port(context.session, options.line, std::chrono::seconds(options.scan.retryDownS));
    const auto tellPort = [&port] {
        for (const PortEvent& event : port.TakeEvents())
            Tell(UtcTimestamp(event.time) + " " + event.message);
    };
    ScanLine reader(context.session, survey.reporter, options.line.TimeoutMs(), &port);
    std::vector<JsonObject> rows;
    std::string answering;
    int answers = 0;
    int asked = 0;
    const auto started = std::chrono::steady_clock::now();
    if (!options.json) {
        std::fprintf(out, "Station   Answers      Time  Attempts  Note\n");
        std::fflush(out);
    }
    for (int station = range.first; station <= range.last && !stop.Requested(); ++station) {
        char text[16];
        std::snprintf(text, sizeof text, "%02XW0000", static_cast<unsigned>(station));
        ReadBlock block;
        block.count = 1;
        if (context.session.Parse(text, false, TAG_TYPE_WORD, 1, &block.start) != SUCCESS)
            continue;
        stop.SetBusy(true);
        const BlockOutcome outcome = reader.Read(block);
        stop.SetBusy(false);
        tellPort();
        // Not the station's answer but the port's failure: once the port is
        // back, the same station is asked again.
        if (outcome.portLost) {
            const bool back = port.Ready(stop);
            tellPort();
            if (!back)
                break;
            --station;
            continue;
        }
        ++asked;
        // A station that answers on any attempt, even to refuse W0000 or too
        // late for its attempt, is there; the rest of another's replies is
        // not its answer (the trace reader leaves it out of stationHeard).
        const bool there = outcome.Good() || outcome.stationHeard;
        if (there) {
            ++answers;
            answering += answering.empty() ? "" : ", ";
            answering += StationText(station);
        }
        const std::string& reason = outcome.stationNote;
        if (options.json) {
            JsonObject row;
            row.Number("station", station)
                .Text("address", text)
                .Bool("answers", there)
                .Ms("ms", outcome.ms)
                .Number("attempts", outcome.attempts)
                .Text("reason", outcome.Good() ? "" : outcome.ReasonName());
            if (!reason.empty())
                row.Text("note", reason);
            if (!outcome.message.empty())
                row.Text("message", outcome.message);
            rows.push_back(row);
        } else {
            std::fprintf(out, "%-9s %-8s %8.2f ms %9d  %s\n", StationText(station).c_str(), there ? "yes" : "no",
                         outcome.ms, outcome.attempts, reason.c_str());
            std::fflush(out);
        }
    }
    context.session.End();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (options.json) {
        std::fprintf(out, "%s\n",
                     JsonObject()
                         .Text("command", "stations")
                         .Text("time", UtcTimestamp())
                         .Number("timeout_ms", options.line.TimeoutMs())
                         .Objects("stations", rows)
                         .Number("answering", answers)
                         .Done()
                         .c_str());
    } else {
        char summary[160];
        std::snprintf(summary, sizeof summary, "%d of %d stations answer (time-out %u ms, %.1f s in all)", answers,
                      asked, static_cast<unsigned>(options.line.TimeoutMs()), seconds);
        std::fprintf(out, "%s%s%s\n", summary, answering.empty() ? "" : ": ", answering.c_str());
    }
    std::fflush(out);
    const std::string portLosses = port.Summary();
    if (answers > 0)
        return portLosses.empty() ? EXIT_DONE : Complain(EXIT_FAILED, portLosses);
    return Complain(EXIT_FAILED, "no station answered from " + StationText(range.first) + " to " +
                                     StationText(range.last) +
                                     ": check the cable, and that --baud and --format match the PLCs; a slow line "
                                     "may need a longer --timeout" +
                                     (portLosses.empty() ? "" : "; " + portLosses));
}

}  // namespace kivhost
