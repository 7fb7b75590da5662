#include "kivhost/command_table.h"

#include <CLI/CLI.hpp>

#include <filesystem>
#include <tuple>

#include "common/output_file.h"
#include "common/tool_text.h"

#if !defined(_WIN32)
#include "common/tty_line_posix.h"
#endif

// The examples name ports as the platform does.
#if defined(_WIN32)
#define KIV_EXAMPLE_PORT "COM3"
#else
#define KIV_EXAMPLE_PORT "ttyUSB0"
#endif

namespace kivhost {
namespace {

constexpr uint32_t MONITOR_BAUD_MAX = 4000000;  // the monitor's port takes rates the driver's field cannot hold
constexpr uint32_t MONITOR_MS_MAX = 600000;

void AddCount(CLI::App& sub, Given& given, const char* description)
{
    sub.add_option("--count", given.count, description)->type_name("N");
}

void AddCycles(CLI::App& sub, Given& given)
{
    sub.add_option("--interval", given.interval,
                   Printf("from the start of one cycle to the next, 0: back to\nback (default %u)",
                          static_cast<unsigned>(DEFAULT_INTERVAL_MS)))
        ->type_name("MS");
    sub.add_option("--cycles", given.cycles, "cycles to run (default 0: until Ctrl-C)")->type_name("N");
}

void AddRetryDown(CLI::App& sub, Given& given, const char* description)
{
    sub.add_option("--retry-down", given.retryDown, description)->type_name("S");
}

}  // namespace

const std::vector<CommandEntry>& Commands()
{
    static const std::vector<CommandEntry> COMMANDS = {
        {Command::Info, "info", "the driver's banner and what it tells a host", "info", "Example:\n  kivhost info",
         false, [](CLI::App&, Given&) {}, [](const Given&, const CLI::App&, Options&) { return std::string(); }},

        {Command::Parse, "parse", "the driver address made of a tag text, or its rejection",
         "parse ADDR [--type N] [--count N] [--block]",
         "Tag type 0 (word) or 6 (bit) is chosen from ADDR unless --type is given. A count\n"
         "other than 1, or --block, goes through BlockAddressParser. No port is opened.\n"
         "Examples:\n  kivhost parse 01W00105\n  kivhost parse 01W0010 --count 16",
         false,
         [](CLI::App& sub, Given& given) {
             sub.add_option("ADDR", given.address, "a tag text, e.g. 01W0010")->type_name("");
             sub.add_option("--type", given.type, "the tag type handed to the parser: 0 word, 6 bit")->type_name("N");
             AddCount(sub, given, "elements of the run, 1 to 255 (default 1)");
             sub.add_flag("--block", given.block, "BlockAddressParser even for a count of 1")->disable_flag_override();
         },
         [](const Given& given, const CLI::App& app, Options& options) {
             if (std::string error = OneAddress("parse", given, options); !error.empty())
                 return error;
             if (std::string error = TakeCount(given, app, options); !error.empty())
                 return error;
             if (IsGiven(app, "--type")) {
                 const auto type = ParseOptionNumber(given.type, 0, UINT32_MAX);
                 if (!type)
                     return Bad("--type", given.type, "a tag type is a number: 0 for a word, 6 for a bit");
                 options.tagType = *type;
             }
             options.block = given.block;
             return std::string();
         }},

        {Command::Read, "read", "one value (SingleRead) or a run of up to 255 (BlockRead)", "read ADDR [--count N]",
         "Examples:\n  kivhost --port " KIV_EXAMPLE_PORT " read 01W0010 --count 4\n  kivhost --port COM3 read 02A01F7",
         true,
         [](CLI::App& sub, Given& given) {
             sub.add_option("ADDR", given.address, "the first address, e.g. 01W0010")->type_name("");
             AddCount(sub, given, "elements to read, 1 to 255 (default 1)");
         },
         [](const Given& given, const CLI::App& app, Options& options) {
             if (std::string error = OneAddress("read", given, options); !error.empty())
                 return error;
             return TakeCount(given, app, options);
         }},

        {Command::Write, "write", "one value (SingleWrite) or a run (BlockWrite)", "write ADDR VALUE...",
         "A W address with a bit digit, such as 01W00105, sets (1) or resets (0) that bit.\n"
         "E operands are the PLC's inputs and are not written.\n"
         "Examples:\n  kivhost --port " KIV_EXAMPLE_PORT " write 01W0010 0x1234 17\n  kivhost --port " KIV_EXAMPLE_PORT
         " write 01B0100 1 0 1",
         true,
         [](CLI::App& sub, Given& given) {
             sub.add_option("ADDR", given.address, "the first address, e.g. 01W0010")->type_name("");
             sub.add_option("VALUE", given.values,
                            "up to 255 values: words 0 to 65535 (or 0x0000 to\n0xFFFF), bits 0 or 1")
                 ->type_name("");
         },
         [](const Given& given, const CLI::App&, Options& options) {
             if (given.address.empty() || given.values.empty())
                 return std::string(
                     "write takes an address and its values, e.g. kivhost write 01W0010 0x1234 (words) or "
                     "01B0100 1 0 1 (bits)");
             if (std::string error = TakeAddresses({given.address}, options); !error.empty())
                 return error;
             for (const std::string& text : given.values) {
                 const auto value = ParseOptionNumber(text, 0, 0xFFFF);
                 if (!value)
                     return "bad value \"" + text + "\" for " + given.address +
                            ": a value is 0 to 65535, or 0x0000 to 0xFFFF in hex; a bit is 0 or 1";
                 options.values.push_back(static_cast<uint16_t>(*value));
             }
             options.valueTexts = given.values;
             if (options.values.size() > COUNT_MAX)
                 return std::string("at most 255 values go in one write; split it");
             if (HasBitDigit(given.address) && options.values.size() > 1)
                 return "a bit of a word (" + given.address + ") takes one value, 0 or 1";
             options.count = static_cast<int32_t>(options.values.size());
             return std::string();
         }},

        {Command::Poll, "poll", "reads addresses cycle after cycle, with counts and times",
         "poll ADDR... [--tags TAGFILE] [--count N] [--interval MS] [--cycles N] [--retry-down S]",
         "On a terminal the table is redrawn in place; otherwise one line per cycle.\n"
         "--tags reads the tags of a file too, each with its own count (see scan).\n"
         "A port that fails (its adapter pulled) is opened again every --retry-down\n"
         "seconds, and polling goes on once it is back.\n"
         "Examples:\n  kivhost --port " KIV_EXAMPLE_PORT " poll 01W0010 01B0100 --interval 500\n"
         "  kivhost --port " KIV_EXAMPLE_PORT " poll --tags examples/pump-station.csv",
         true,
         [](CLI::App& sub, Given& given) {
             sub.add_option("ADDR", given.addresses, "the addresses to read, e.g. 01W0010 01B0100")->type_name("");
             sub.add_option("--tags", given.tags, "a tag file whose tags are read too, one exchange each")
                 ->type_name("TAGFILE");
             AddCount(sub, given, "elements read at each address, 1 to 255 (default 1)");
             AddCycles(sub, given);
             AddRetryDown(sub, given, "seconds between tries to open a failed port again\n(default 10)");
         },
         [](const Given& given, const CLI::App& app, Options& options) {
             if (given.addresses.empty() && !IsGiven(app, "--tags"))
                 return std::string(
                     "poll takes one or more addresses, e.g. kivhost poll 01W0010 01B0100, or --tags TAGFILE");
             options.pollTags = given.tags;
             if (std::string error = TakeAddresses(given.addresses, options); !error.empty())
                 return error;
             if (std::string error = TakeCount(given, app, options); !error.empty())
                 return error;
             if (std::string error = TakeRetryDown(given, app, options); !error.empty())
                 return error;
             return TakeCycles(given, app, options);
         }},

        {Command::Scan, "scan", "reads a tag file in grouped block reads, cycle after cycle",
         "scan TAGFILE [--interval MS] [--cycles N] [--max-gap N] [--plan] [--retry-down S] [--csv FILE] "
         "[--jsonl FILE]",
         "A tag file is CSV with a header: name and address, then count, type (word or\n"
         "bit) and comment if wanted. Every row is checked before the port opens. Tags of\n"
         "a station and operand within --max-gap elements of each other are read in one\n"
         "block. A station that stops answering keeps its tags' last values and is asked\n"
         "again every --retry-down seconds; so is a port that fails (its adapter pulled),\n"
         "and the stations keep their states meanwhile. On a terminal the table is\n"
         "redrawn in place; otherwise one line per cycle. Ctrl-C stops after the\n"
         "exchange under way; a second Ctrl-C ends at once.\n"
         "Examples:\n  kivhost scan examples/pump-station.csv --plan\n"
         "  kivhost --port " KIV_EXAMPLE_PORT " scan examples/pump-station.csv --csv scan.csv",
         true,
         [](CLI::App& sub, Given& given) {
             sub.add_option("TAGFILE", given.tagFile, "the tag file, e.g. examples/pump-station.csv")->type_name("");
             AddCycles(sub, given);
             sub.add_option("--max-gap", given.maxGap,
                            "elements that may lie unused between tags of one block\n(default 8; -1: a read per tag)")
                 ->type_name("N");
             sub.add_flag("--plan", given.plan, "print the block reads and stop; no port needed")
                 ->disable_flag_override();
             AddRetryDown(sub, given,
                          "seconds between tries of a station that stopped\nanswering, or of a failed port (default "
                          "10)");
             sub.add_option("--csv", given.csv, "append a row per tag per cycle to FILE (a run:\na row per element)")
                 ->type_name("FILE");
             sub.add_option("--jsonl", given.jsonl, "the same as JSON, an object a line")->type_name("FILE");
         },
         [](const Given& given, const CLI::App& app, Options& options) {
             if (given.tagFile.empty())
                 return std::string("scan takes a tag file, e.g. kivhost scan examples/pump-station.csv");
             options.scan.tagFile = given.tagFile;
             if (std::string error = TakeCycles(given, app, options); !error.empty())
                 return error;
             std::string why;
             if (IsGiven(app, "--max-gap")) {
                 const auto gap = ParseMaxGap(given.maxGap, &why);
                 if (!gap)
                     return why;
                 options.scan.maxGap = *gap;
             }
             if (std::string error = TakeRetryDown(given, app, options); !error.empty())
                 return error;
             options.scan.plan = given.plan;
             // --plan stops before any cycle: what only cycles use would be silently dropped.
             if (given.plan)
                 for (const char* unused : {"--csv", "--jsonl", "--cycles", "--interval", "--retry-down"})
                     if (IsGiven(app, unused))
                         return std::string("--plan only prints the block reads; ") + unused +
                                " applies to the cycles it does not run: leave out one or the other";
             options.scan.csvPath = given.csv;
             options.scan.jsonlPath = given.jsonl;
             return std::string();
         }},

        {Command::Stations, "stations", "asks each station once and lists which answer, and how fast",
         "stations [--range FIRST-LAST] [--retry-down S]",
         "Each station of the range gets a one-word read of W0000, with a short time-out\n"
         "(100 ms unless --timeout is given): a station that does not answer costs four.\n"
         "A port that fails (its adapter pulled) is opened again every --retry-down\n"
         "seconds, and the station being asked is asked again once it is back.\n"
         "Examples:\n  kivhost --port " KIV_EXAMPLE_PORT " stations\n  kivhost --port " KIV_EXAMPLE_PORT
         " stations --range 1-8",
         true,
         [](CLI::App& sub, Given& given) {
             sub.add_option("--range", given.range,
                            "the stations to ask, 1 to 32 (default 1-32); numbers as\neverywhere: 10 or 0x0A, not 0A")
                 ->type_name("FIRST-LAST");
             AddRetryDown(sub, given, "seconds between tries to open a failed port again\n(default 10)");
         },
         [](const Given& given, const CLI::App& app, Options& options) {
             if (std::string error = TakeRetryDown(given, app, options); !error.empty())
                 return error;
             if (!IsGiven(app, "--range"))
                 return std::string();
             std::string why;
             const auto range = ParseStationRange(given.range, &why);
             if (!range)
                 return why;
             options.range = *range;
             return std::string();
         }},

#if defined(_WIN32)
        {Command::Demo, "demo", "the driver at work on simulated stations, no PLC", "--port PORT demo --sim-port PORT",
         "Stations 1 and 2 answer on --sim-port, and the driver talks on --port: two COM\n"
         "ports joined by a null-modem cable (two USB serial adapters, or a pair of\n"
         "virtual COM ports). Station 3 is silent. Each call of the driver is shown and\n"
         "explained.\n"
         "Examples:\n  kivhost --port COM3 demo --sim-port COM4\n  kivhost --port COM3 demo --sim-port COM4 --trace",
#else
        {Command::Demo, "demo", "the driver at work on simulated stations, no hardware", "demo [--sim-port PORT]",
         "Stations 1 and 2 answer on a pseudo-terminal of their own; station 3 is silent.\n"
         "With --sim-port they answer on that port instead and the driver talks on\n"
         "--port: two ports joined by a null-modem cable. Each call of the driver is\n"
         "shown and explained.\n"
         "Examples:\n  kivhost demo\n  kivhost demo --trace\n  kivhost --port ttyUSB0 demo --sim-port ttyUSB1",
#endif
         false,
         [](CLI::App& sub, Given& given) {
             sub.add_option("--sim-port", given.simPort,
                            "the port the simulated stations answer on, joined to\n--port by a null-modem cable")
                 ->type_name("PORT");
         },
         [](const Given& given, const CLI::App&, Options& options) {
             options.simPort = given.simPort;
             return std::string();
         }},

        {Command::Decode, "decode", "a captured host trace: each attempt and why it failed", "decode [FILE|-]",
         "Reads a host's standard output as captured (FILE, or standard input for - or\n"
         "none): the driver's \"REVIZ: N bytes will be send\" and \"... received\" lines\n"
         "with the bytes under them, whatever else is among them. One line per exchange\n"
         "attempt (the request, its checksum, the reply and the verdict), then a summary\n"
         "per station. --json: one object per attempt, one a line, then the summary.\n"
         "Examples:\n  kivhost decode host.log\n  host-program | kivhost decode --json -",
         false,
         [](CLI::App& sub, Given& given) {
             sub.add_option("FILE", given.file, "the captured output; - or none: standard input")->type_name("");
         },
         [](const Given& given, const CLI::App&, Options& options) {
             options.decode.file = given.file;
             return std::string();
         }},

#if defined(_WIN32)
        {Command::Monitor, "monitor", "listens on a line: requests, replies, latency",
         "monitor --port PORT [--gap MS] [--late MS] [--jsonl FILE] [--csv FILE]",
         "Opens PORT itself, read only and to itself alone, and never writes to it: a\n"
         "second adapter that only listens on the bus. --baud takes any rate the port\n"
         "takes (115200 too); --timeout does not apply. Frames end at CR, or\n"
         "after a quiet gap; each is timed at its first byte. Ctrl-C ends it with the\n"
         "summary per station: requests, replies, failures by reason, latency p50, p99\n"
         "and max. A port another program holds cannot be opened: Windows gives a COM\n"
         "port to one program at a time.\n"
         "Examples:\n  kivhost monitor --port COM5 --baud 19200 --format 7E1\n"
         "  kivhost monitor --port COM5 --jsonl line.jsonl",
#else
        {Command::Monitor, "monitor", "listens on a line: requests, replies, latency",
         "monitor --port DEV [--gap MS] [--late MS] [--jsonl FILE] [--csv FILE] [--shared]",
         "Opens DEV itself and never writes to it: a second adapter that only listens on\n"
         "the bus, or plcsim's --mirror. --port takes any path here, and --baud any rate\n"
         "the port takes (115200 too); --timeout does not apply. Frames end at CR, or\n"
         "after a quiet gap; each is timed at its first byte. Ctrl-C ends it with the\n"
         "summary per station: requests, replies, failures by reason, latency p50, p99\n"
         "and max. A port another program holds is refused unless --shared: the monitor\n"
         "would take bytes that program waits for.\n"
         "Examples:\n  kivhost monitor --port ttyUSB1 --baud 19200 --format 7E1\n"
         "  kivhost monitor --port /tmp/tap1 --jsonl line.jsonl",
#endif
         true,
         [](CLI::App& sub, Given& given) {
             sub.add_option("--gap", given.gap, "quiet that ends a frame whose CR was lost (default 50)")
                 ->type_name("MS");
             sub.add_option("--late", given.late,
                            "a reply later than this after its request is flagged\n(default 1000)")
                 ->type_name("MS");
             sub.add_option("--jsonl", given.jsonl,
                            "each attempt as a JSON object, one a line, appended to\nFILE once the port is open")
                 ->type_name("FILE");
             sub.add_option("--csv", given.csv, "each attempt as a CSV row appended to FILE")->type_name("FILE");
#if !defined(_WIN32)
             sub.add_flag("--shared", given.shared, "listen even on a port another program holds")
                 ->disable_flag_override();
#endif
         },
         [](const Given& given, const CLI::App& app, Options& options) {
             MonitorOptions& monitor = options.monitor;
             if (given.port.empty())
#if defined(_WIN32)
                 return std::string("monitor needs the port it listens on: --port PORT, e.g. --port COM5");
#else
                 return std::string("monitor needs the port it listens on: --port DEV, e.g. --port ttyUSB1, or "
                                    "plcsim's --mirror path");
#endif
             monitor.line.port = given.port;
             monitor.shared = given.shared;
             options.line.portGiven = true;
             options.line.portGivenAs = given.port;
             if (!given.baud.empty()) {
                 const auto baud = ParseOptionNumber(given.baud, 50, MONITOR_BAUD_MAX);
                 if (!baud)
                     return Bad("--baud", given.baud, "give the line's rate, e.g. 9600, 19200 or 115200");
                 monitor.line.baud = *baud;
             }
#if !defined(_WIN32)
             if (!NamedRate(monitor.line.baud))
                 return Bad("--baud", given.baud,
                            "the monitor's port takes the standard rates (9600, 19200, 38400, 57600, 115200, ...)");
             // A fresh pseudo-terminal master, heard by no one: plcsim's --mirror names the side to listen on.
             if (std::filesystem::path(given.port).filename() == "ptmx" || SameFile(given.port, "/dev/ptmx"))
                 return std::string("monitor cannot listen on ") + given.port +
                        ": it makes a new pseudo-terminal each time it is opened, not one a line is on; give the "
                        "listening side, e.g. plcsim's --mirror path";
#endif
             if (!given.timeout.empty())
                 return std::string("monitor only listens: --timeout does not apply (--late flags slow replies)");
             for (auto [name, text, ms] : {std::tuple{"--gap", &given.gap, &monitor.gapMs},
                                           std::tuple{"--late", &given.late, &monitor.lateMs}}) {
                 if (!IsGiven(app, name))
                     continue;
                 const auto value = ParseOptionNumber(*text, 1, MONITOR_MS_MAX);
                 if (!value)
                     return Bad(name, *text, "give milliseconds, 1 to 600000");
                 *ms = *value;
             }
             monitor.jsonl = given.jsonl;
             monitor.csv = given.csv;
             return std::string();
         }},
    };
    return COMMANDS;
}

const CommandEntry* FindCommand(const std::string& name)
{
    for (const CommandEntry& entry : Commands())
        if (name == entry.name)
            return &entry;
    return nullptr;
}

std::string CommandNames()
{
    std::string names;
    const auto& commands = Commands();
    for (size_t i = 0; i < commands.size(); ++i)
        names += std::string(i == 0 ? "" : i + 1 == commands.size() ? " and " : ", ") + commands[i].name;
    return names;
}

}  // namespace kivhost
