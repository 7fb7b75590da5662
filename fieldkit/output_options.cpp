#include "fieldkit/program_options.h"

#include <CLI/CLI.hpp>

#include "fieldkit/help_groups.h"

namespace kivhost {

void DeclareOutputOptions(CLI::App& app, Given& given)
{
    app.add_flag("--json", given.json,
                 "for scripts: one JSON document per command (poll:\none object per cycle, one a line)")
        ->disable_flag_override()
        ->group(OUTPUT_GROUP);
    app.add_flag("--trace{text}", given.trace,
                 "the driver's traffic on standard error as it happens:\n"
                 "TX and RX frames with the time in ms since the start,\n"
                 "the driver's log lines marked \"log\"; =hex adds the\n"
                 "bytes in hex, =raw shows the driver's own trace")
        ->option_text("[=MODE]")
        ->group(OUTPUT_GROUP);
    app.add_option("--trace-file", given.traceFile, "the trace into FILE instead of standard error")
        ->type_name("FILE")
        ->group(OUTPUT_GROUP);
    app.add_option("--lib", given.library,
                   "the driver library to load (default: the one beside\nkivhost, else the one its package installed)")
        ->type_name("PATH")
        ->group(OTHER_GROUP);
    app.add_flag("--version", given.version, "kivhost's version, and the driver's from its banner")
        ->disable_flag_override()
        ->group(OTHER_GROUP);
}

std::string TakeOutput(const Given& given, const CLI::App& app, Options& options)
{
    options.json = given.json;
    if (IsGiven(app, "--trace")) {
        if (given.trace == "text")
            options.trace = TraceMode::Text;
        else if (given.trace == "hex")
            options.trace = TraceMode::Hex;
        else if (given.trace == "raw")
            options.trace = TraceMode::Raw;
        else
            return Bad("--trace", given.trace, "use --trace, --trace=hex or --trace=raw");
    }
    if (IsGiven(app, "--trace-file")) {
        options.traceFile = given.traceFile;
        if (options.trace == TraceMode::Off)
            options.trace = TraceMode::Text;
    }
    if (IsGiven(app, "--lib"))
        options.library = given.library;
    return {};
}

}  // namespace kivhost
