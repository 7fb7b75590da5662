// kivhost: a host program for the DAVODEV driver, from a terminal.
#include <cstdio>
#include <string>
#include <vector>

#include "davodev_version.h"
#include "kivhost_commands.h"
#include "kivhost_driver.h"
#include "kivhost_options.h"
#include "kivhost_scan.h"

using namespace kivhost;

int main(int argc, char** argv)
{
    const CommandLine commandLine = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (!commandLine.options)
        return Complain(EXIT_USAGE, commandLine.error);
    const Options& options = *commandLine.options;
    if (options.command == Command::Help) {
        std::fputs(UsageText().c_str(), stdout);
        return EXIT_DONE;
    }
    if (options.command == Command::Version) {
        // Before the driver is loaded: shown even when it cannot be.
        std::printf("kivhost %.*s\n", static_cast<int>(kiv::VERSION.size()), kiv::VERSION.data());
        std::fflush(stdout);
    }
#if defined(_WIN32)
    if (options.command == Command::Demo)
        return Complain(
            EXIT_USAGE,
            "demo needs the simulated stations of plcsim, which runs on Linux only; serve a COM port from a "
            "Linux machine with plcsim --device (see README) and use kivhost read or poll --port COMn");
#endif

    std::string error;
    DriverOutput output;
    if (!output.Start(options.trace, &error))
        return Complain(EXIT_FAILED, error);
    const std::string library = options.library.empty() ? DefaultLibraryPath() : options.library;
    const auto driver = DriverLibrary::Load(library, &error);
    if (!driver)
        return Complain(EXIT_FAILED, error);

    Session session(driver->Entry(), output);
    Context context{options, session, output, library};
    switch (options.command) {
    case Command::Version: return RunVersion(context);
    case Command::Info: return RunInfo(context);
    case Command::Parse: return RunParse(context);
    case Command::Read: return RunRead(context);
    case Command::Write: return RunWrite(context);
    case Command::Poll: return RunPoll(context);
    case Command::Scan: return RunScan(context, options.scan);
    case Command::Stations: return RunStations(context, options.range);
#if !defined(_WIN32)
    case Command::Demo: return RunDemo(context);
#endif
    default: break;
    }
    return EXIT_DONE;
}
