// kivhost: a host program for the DAVODEV driver, from a terminal.
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/output_file.h"
#include "common/standard_descriptors.h"
#include "davodev_version.h"
#include "hosting/driver_library.h"
#include "hosting/driver_output.h"
#include "hosting/session.h"
#include "hosting/trace_view.h"
#include "kivhost/kivhost_commands.h"
#include "kivhost/kivhost_options.h"

using namespace kivhost;

namespace {

// The command's run, with the driver where it needs one.
int Run(const Options& options, DriverOutput& output, OutputFile& traceFile)
{
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

    std::string error;
    if (!output.Start(&error))
        return Complain(EXIT_FAILED, error);
    if (!options.traceFile.empty()) {
        traceFile = OutputFile::Replace(options.traceFile, "the trace file " + options.traceFile, &error);
        if (!traceFile.IsOpen())
            return Complain(EXIT_USAGE, error);
    } else {
        traceFile = OutputFile(2, "standard error");
    }
    std::optional<TraceView> view;
    if (options.trace != TraceMode::Off) {
        view.emplace(options.trace, &traceFile);
        output.ShowTraces(&*view);
    }
    const std::string library = options.library.empty() ? DefaultLibraryPath() : options.library;
    const auto driver = DriverLibrary::Load(library, &error);
    if (!driver)
        return Complain(EXIT_FAILED, error);

    // Each command's run, from GetKivInfo to EndKiv.
    using CommandRun = int (*)(Context&);
    static const std::map<Command, CommandRun> RUNS = {
        {Command::Version, RunVersion}, {Command::Info, RunInfo},         {Command::Parse, RunParse},
        {Command::Read, RunRead},       {Command::Write, RunWrite},       {Command::Poll, RunPoll},
        {Command::Scan, RunScan},       {Command::Stations, RunStations}, {Command::Demo, RunDemo},
    };
    Session session(driver->Entry(), output);
    Context context{options, session, output, library};
    const auto run = RUNS.find(options.command);
    return run == RUNS.end() ? EXIT_DONE : run->second(context);
}

// Whatever the run ended with, an output that lost some of what was written
// to it is said, and the run has failed.
int Ended(int status, DriverOutput& output, OutputFile& traceFile)
{
    std::string lost = traceFile.Close() ? "" : traceFile.Error();
    if (output.Results() != nullptr) {
        // Standard output is the driver's scratch file now: only what was
        // written before it was set aside (--version) is checked there.
        const bool before = std::ferror(stdout) == 0;
        if (std::string results = output.CloseResults(); lost.empty())
            lost = before ? results : "cannot write standard output: some of what was written to it was lost";
    } else if (std::string standard = CloseStream(stdout, "standard output"); lost.empty()) {
        lost = standard;
    }
    if (lost.empty())
        return status;
    return Complain(status == EXIT_DONE ? EXIT_FAILED : status, lost);
}

}  // namespace

int main(int argc, char** argv)
{
    HoldStandardDescriptors();
    const CommandLine commandLine = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (!commandLine.options)
        return Complain(EXIT_USAGE, commandLine.error);
    DriverOutput output;
    OutputFile traceFile;
    const int status = Run(*commandLine.options, output, traceFile);
    return Ended(status, output, traceFile);
}
