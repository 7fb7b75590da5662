// The options of the field programs, as their command lines leave them:
// kivhost's for its commands, kivgate's for its one scan (its own options
// are gate/gate_options.h's). Everything in them has been checked before the
// driver is loaded or the port is opened.
#ifndef DAVODEV_FIELDKIT_TOOL_OPTIONS_H
#define DAVODEV_FIELDKIT_TOOL_OPTIONS_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/exit_status.h"
#include "common/line_settings.h"
#include "common/tag_text.h"
#include "fieldkit/line_diag_options.h"
#include "host_api/davodev.h"
#include "hosting/trace_view.h"
#include "scan/scan_options.h"

namespace kivhost {

// --interval's default for kivhost's poll and scan and for kivgate: a cycle
// a second is fresh enough for a gateway's clients and leaves a real line
// room for writes and for its other masters; 0 runs cycles back to back.
constexpr uint32_t DEFAULT_INTERVAL_MS = 1000;

// What the options are for: kivhost's commands (kivgate's run is a scan).
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
    uint32_t intervalMs = DEFAULT_INTERVAL_MS;
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

}  // namespace kivhost

#endif  // DAVODEV_FIELDKIT_TOOL_OPTIONS_H
