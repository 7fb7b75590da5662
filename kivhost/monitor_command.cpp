// kivhost monitor: a live line watched through a listening port, never
// written to; each request and reply shown, and a summary per station when
// Ctrl-C ends it.
#include <cstdio>

#include <nlohmann/json.hpp>

#include "analysis/attempt_formats.h"
#include "analysis/line_monitor.h"
#include "analysis/line_tally.h"
#include "analysis/serial_tap.h"
#include "common/json_object.h"
#include "common/line_settings.h"
#include "common/stop_signals.h"
#include "fieldkit/command_steps.h"
#include "hosting/port_check.h"
#include "kivhost/kivhost_commands.h"
#include "kivhost/log_files.h"

namespace kivhost {

int RunMonitor(const MonitorOptions& options)
{
    // A second reader of a port takes the bytes its holder waits for, and
    // TIOCEXCL does not keep root out: look before opening.
    if (const PortHolders holders = HoldersOf(options.line.port); holders.Any() && !options.shared)
        return Complain(EXIT_FAILED, "monitor: " + options.line.port + " is held by another program: " +
                                         (holders.locking.empty() ? holders.open : holders.locking + " (its lock)") +
                                         "; listening would take bytes it waits for; --shared listens anyway");

    std::string error;
    const auto tap = SerialTap::Open(options.line, &error);
    if (!tap)
        return Complain(EXIT_FAILED, error);
    // The logs only once the port is open: a run that cannot listen leaves
    // them as they were. Appended to, as scan's are.
    OutputFile jsonl;
    OutputFile csv;
    if (!options.jsonl.empty())
        if (int status = OpenLog(options.jsonl, "the JSON Lines log", "", &jsonl); status != EXIT_DONE)
            return status;
    if (!options.csv.empty())
        if (int status = OpenLog(options.csv, "the CSV log", CsvHeader(), &csv); status != EXIT_DONE)
            return status;
    // Ctrl-C ends the watch; what the monitor says then is its summary.
    const StopToken& stop = CatchStopSignals();

    MonitorSettings settings;
    settings.gapUs = static_cast<uint64_t>(options.gapMs) * 1000;
    settings.lateUs = static_cast<uint64_t>(options.lateMs) * 1000;
    const uint64_t origin = MonotonicUs();
    MonitorOutputs outputs;
    outputs.text = stdout;
    outputs.jsonl = options.jsonl.empty() ? nullptr : &jsonl;
    outputs.csv = options.csv.empty() ? nullptr : &csv;
    outputs.utcAtOriginUs = WallClockUs();
    LineMonitor monitor(settings, outputs);

    // The character format in the driver's codes, as the line options give it.
    LineOptions format;
    format.dataBits = options.line.dataBits;
    format.parity = options.line.parity;
    format.stopBits = options.line.stopBits;
    std::fprintf(stderr,
                 "kivhost: listening on %s at %u baud %s, never writing to it; times in ms from now; Ctrl-C ends "
                 "with the summary\n",
                 tap->Path().c_str(), static_cast<unsigned>(options.line.baud), format.FormatText().c_str());
    std::fflush(stderr);

    WatchOptions watch;
    watch.gapUs = settings.gapUs;
    std::string why;
    const WatchEnd end = WatchLine(*tap, monitor, watch, origin, stop, &why);
    if (end == WatchEnd::Stopped)
        monitor.Stop();
    else
        monitor.Finish();
    std::printf("\nPer station (%llu frames in %.1f s):\n%s", static_cast<unsigned long long>(monitor.Frames()),
                static_cast<double>(MonotonicUs() - origin) / 1e6, monitor.Summary().c_str());
    std::fflush(stdout);
    if (jsonl.IsOpen())
        jsonl.Write(JsonText(Json{{"summary", monitor.Tally().ToJson(true)}}) + "\n");
    // A log that could not be written ended the watch: said before the rest.
    for (OutputFile* log : {&jsonl, &csv})
        if (!log->Close())
            return Complain(EXIT_FAILED, log->Error());
    if (end == WatchEnd::HungUp)
        return Complain(EXIT_FAILED, "the line hung up: " + why);
    if (end == WatchEnd::Failed)
        return Complain(EXIT_FAILED, why);
    return EXIT_DONE;
}

}  // namespace kivhost
