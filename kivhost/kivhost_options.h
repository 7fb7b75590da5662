// kivhost's command line: subcommands, line options, addresses and values,
// all checked before the driver is loaded or the port is opened; what only
// the driver's parser can tell is checked right after it has spoken, still
// before the port is opened.
//
// A new subcommand is a Command value, one entry in command_table.cpp (its
// name, help, arguments and options, and how they are checked), and its Run
// function in the table of kivhost_main.cpp; the man page and the bash
// completion name it too (a test holds them to the program's help).
#ifndef DAVODEV_KIVHOST_OPTIONS_H
#define DAVODEV_KIVHOST_OPTIONS_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/line_settings.h"
#include "common/tag_text.h"
#include "host_api/davodev.h"
#include "hosting/trace_view.h"
#include "kivhost/kivhost_diag.h"
#include "scan/scan_options.h"

namespace kivhost {

// Exit status of the program.
enum ExitStatus : int {
    EXIT_DONE = 0,
    EXIT_REJECTED = 1,  // the driver refused the request (address, operand)
    EXIT_FAILED = 2,    // line, port or PLC failure, or no driver to load
    EXIT_USAGE = 64,    // the command line itself is wrong
};

enum class Command { Help, Version, Info, Parse, Read, Write, Poll, Scan, Stations, Demo, Decode, Monitor };

struct Options {
    Command command = Command::Help;
    std::string helpText;  // Help: what to show
    std::vector<std::string> addresses;
    // write: the values as numbers; whether they fit the address (a bit is
    // 0 or 1) is checked once the parser has named its operand.
    std::vector<uint16_t> values;
    std::vector<std::string> valueTexts;
    LineOptions line;
    std::string library;  // empty: the one beside the program
    bool json = false;
    TraceMode trace = TraceMode::Off;
    std::string traceFile;  // the trace goes there instead of standard error
    // parse
    std::optional<uint32_t> tagType;
    bool block = false;
    // parse, read, poll
    int32_t count = 1;
    bool countGiven = false;
    // poll, scan
    uint32_t intervalMs = 1000;
    uint32_t cycles = 0;   // 0: until interrupted
    std::string pollTags;  // poll --tags: a tag file beside the addresses
    ScanOptions scan;
    // stations
    StationRange range;
    // decode and monitor; the monitor's character format is in line
    DecodeOptions decode;
    MonitorOptions monitor;
    // demo: where its stations answer, as --port names a port; empty: a
    // pseudo-terminal of its own (Linux)
    std::string simPort;
};

// Either options or the one-line message of a usage error.
struct CommandLine {
    std::optional<Options> options;
    std::string error;
};

CommandLine ParseCommandLine(const std::vector<std::string>& args);

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_OPTIONS_H
