// kivhost: a host program for the DAVODEV driver, from a terminal.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "davodev_version.h"
#include "driver_library.h"
#include "driver_output.h"
#include "kivhost_commands.h"
#include "kivhost_diag.h"
#include "kivhost_options.h"
#include "log_files.h"
#include "session.h"
#include "trace_view.h"

using namespace kivhost;

int main(int argc, char** argv)
{
    const CommandLine commandLine = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (!commandLine.options)
        return Complain(EXIT_USAGE, commandLine.error);
    const Options& options = *commandLine.options;
    if (options.command == Command::Help) {
        std::fputs(options.helpText.c_str(), stdout);
        return EXIT_DONE;
    }
    if (options.command == Command::Version) {
        // Before the driver is loaded: shown even when it cannot be.
        std::printf("kivhost %.*s\n", static_cast<int>(kiv::VERSION.size()), kiv::VERSION.data());
        std::fflush(stdout);
    }
    // The diagnostics read traces and lines, not the driver.
    if (options.command == Command::Decode)
        return RunDecode(options.decode);
    if (options.command == Command::Monitor)
        return RunMonitor(options.monitor);
#if defined(_WIN32)
    if (options.command == Command::Demo)
        return Complain(
            EXIT_USAGE,
            "demo needs the simulated stations of plcsim, which runs on Linux only; serve a COM port from a "
            "Linux machine with plcsim --device (see README) and use kivhost read or poll --port COMn");
#endif

    std::string error;
    DriverOutput output;
    if (!output.Start(&error))
        return Complain(EXIT_FAILED, error);
    File traceFile;
    if (!options.traceFile.empty()) {
        traceFile.reset(std::fopen(options.traceFile.c_str(), "w"));
        if (!traceFile)
            return Complain(EXIT_USAGE,
                            "cannot write the trace file " + options.traceFile + ": " + std::strerror(errno));
    }
    std::optional<TraceView> view;
    if (options.trace != TraceMode::Off) {
        view.emplace(options.trace, traceFile ? traceFile.get() : stderr);
        output.ShowTraces(&*view);
    }
    const std::string library = options.library.empty() ? DefaultLibraryPath() : options.library;
    const auto driver = DriverLibrary::Load(library, &error);
    if (!driver)
        return Complain(EXIT_FAILED, error);

    // Each command's run, from GetKivInfo to EndKiv.
    using Run = int (*)(Context&);
    static const std::map<Command, Run> RUNS = {
        {Command::Version, RunVersion},
        {Command::Info, RunInfo},
        {Command::Parse, RunParse},
        {Command::Read, RunRead},
        {Command::Write, RunWrite},
        {Command::Poll, RunPoll},
        {Command::Scan, RunScan},
        {Command::Stations, RunStations},
#if !defined(_WIN32)
        {Command::Demo, RunDemo},
#endif
    };
    Session session(driver->Entry(), output);
    Context context{options, session, output, library};
    const auto run = RUNS.find(options.command);
    return run == RUNS.end() ? EXIT_DONE : run->second(context);
}
