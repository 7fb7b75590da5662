#include "kivhost_options.h"

#include <CLI/CLI.hpp>

#include <cctype>
#include <functional>
#include <sstream>
#include <tuple>

#include "number_rules.h"
#include "port_name.h"

namespace kivhost {
namespace {

constexpr uint32_t TIMEOUT_MIN_MS = 10;
constexpr uint32_t TIMEOUT_MAX_MS = 60000;
constexpr uint32_t COUNT_MAX = 255;
constexpr uint32_t INTERVAL_MAX_MS = 3600000;
constexpr uint32_t MONITOR_BAUD_MAX = 4000000;  // the monitor's port takes rates the driver's field cannot hold
constexpr uint32_t MONITOR_MS_MAX = 600000;

const std::string LINE_GROUP = "Line (defaults: 9600 baud, 8N1, 1000 ms)";
const std::string OUTPUT_GROUP = "Output";
const std::string OTHER_GROUP = "Other";

// Everything as it was written. CLI11 takes the command line apart; the
// checks below then read the texts in one fixed order (addresses, values,
// counts, then the options), so that the fault named is the first one a
// reader meets.
struct Given {
    std::string address;                 // parse, read, write
    std::vector<std::string> addresses;  // poll
    std::vector<std::string> values;
    std::string port, baud, format, dataBits, parity, stopBits, timeout;
    std::string library, trace, traceFile;
    std::string type, count, interval, cycles;
    std::string file, gap, late;  // decode, monitor
    std::string tagFile, tags, maxGap, retryDown, csv, jsonl,
        range;  // poll --tags, scan, stations; csv and jsonl for monitor too
    bool plan = false;
    bool json = false;
    bool block = false;
    bool version = false;
};

using Check = std::function<std::string(const Given&, const CLI::App&, Options&)>;

struct CommandEntry {
    Command command;
    const char* name;
    const char* summary;  // its line in kivhost --help, and the first of its own help
    const char* usage;    // what follows "kivhost [options] "
    const char* footer;   // more about it, and examples
    bool usesLine;
    std::function<void(CLI::App&, Given&)> declare;  // its arguments and options
    Check take;                                      // its arguments and options into the options, or why not
};

// A number by the rule both programs read them by (decimal, or hex after 0x).
std::optional<uint32_t> ParseNumber(std::string_view text, uint32_t low, uint32_t high)
{
    const auto value = plcsim::ParseNumber(text, low, high);
    if (!value)
        return std::nullopt;
    return static_cast<uint32_t>(*value);
}

bool IsGiven(const CLI::App& app, const std::string& name)
{
    const CLI::Option* option = app.get_option_no_throw(name);
    return option != nullptr && option->count() > 0;
}

std::string Bad(const std::string& option, const std::string& value, const std::string& why)
{
    return "bad " + option + " \"" + value + "\": " + why;
}

// The output-file options of a command, (name, as given, where it goes):
// one given must name a file. Why not, or nothing.
using FileOption = std::tuple<const char*, const std::string*, std::string*>;
std::string TakeFiles(const CLI::App& app, std::initializer_list<FileOption> files, const char* what)
{
    for (auto [name, text, file] : files) {
        if (IsGiven(app, name) && text->empty())
            return std::string(name) + " needs the name of a file" + what;
        *file = *text;
    }
    return {};
}

std::string TakeCount(const Given& given, const CLI::App& app, Options& options)
{
    if (!IsGiven(app, "--count"))
        return {};
    const auto count = ParseNumber(given.count, 1, COUNT_MAX);
    if (!count)
        return Bad("--count", given.count, "give a count from 1 to 255 (or 0x01 to 0xFF)");
    options.count = static_cast<int32_t>(*count);
    options.countGiven = true;
    return {};
}

std::string TakeAddresses(const std::vector<std::string>& texts, Options& options)
{
    for (const std::string& text : texts)
        if (std::string problem = AddressTextProblem(text); !problem.empty())
            return problem;
    options.addresses = texts;
    return {};
}

std::string OneAddress(const char* command, const Given& given, Options& options)
{
    if (given.address.empty())
        return std::string(command) + " takes one address, e.g. kivhost " + command + " 01W0010";
    return TakeAddresses({given.address}, options);
}

void AddCount(CLI::App& sub, Given& given, const char* description)
{
    sub.add_option("--count", given.count, description)->type_name("N");
}

void AddCycles(CLI::App& sub, Given& given)
{
    sub.add_option("--interval", given.interval, "from the start of one cycle to the next (default 1000)")
        ->type_name("MS");
    sub.add_option("--cycles", given.cycles, "cycles to run (default 0: until Ctrl-C)")->type_name("N");
}

std::string TakeCycles(const Given& given, const CLI::App& app, Options& options)
{
    if (IsGiven(app, "--interval")) {
        const auto ms = ParseNumber(given.interval, 0, INTERVAL_MAX_MS);
        if (!ms)
            return Bad("--interval", given.interval, "give milliseconds between cycles, 0 to 3600000, e.g. 500");
        options.intervalMs = *ms;
    }
    if (IsGiven(app, "--cycles")) {
        const auto cycles = ParseNumber(given.cycles, 0, UINT32_MAX);
        if (!cycles)
            return Bad("--cycles", given.cycles, "give a number of cycles, or 0 to run until Ctrl-C");
        options.cycles = *cycles;
    }
    return {};
}

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
                 const auto type = ParseNumber(given.type, 0, UINT32_MAX);
                 if (!type)
                     return Bad("--type", given.type, "a tag type is a number: 0 for a word, 6 for a bit");
                 options.tagType = *type;
             }
             options.block = given.block;
             return std::string();
         }},

        {Command::Read, "read", "one value (SingleRead) or a run of up to 255 (BlockRead)", "read ADDR [--count N]",
         "Examples:\n  kivhost --port ttyUSB0 read 01W0010 --count 4\n  kivhost --port COM3 read 02A01F7", true,
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
         "Examples:\n  kivhost --port ttyUSB0 write 01W0010 0x1234 17\n  kivhost --port ttyUSB0 write 01B0100 1 0 1",
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
                 const auto value = ParseNumber(text, 0, 0xFFFF);
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
         "poll ADDR... [--tags TAGFILE] [--count N] [--interval MS] [--cycles N]",
         "On a terminal the table is redrawn in place; otherwise one line per cycle.\n"
         "--tags reads the tags of a file too, each with its own count (see scan).\n"
         "Examples:\n  kivhost --port ttyUSB0 poll 01W0010 01B0100 --interval 500\n"
         "  kivhost --port ttyUSB0 poll --tags examples/pump-station.csv",
         true,
         [](CLI::App& sub, Given& given) {
             sub.add_option("ADDR", given.addresses, "the addresses to read, e.g. 01W0010 01B0100")->type_name("");
             sub.add_option("--tags", given.tags, "a tag file whose tags are read too, one exchange each")
                 ->type_name("TAGFILE");
             AddCount(sub, given, "elements read at each address, 1 to 255 (default 1)");
             AddCycles(sub, given);
         },
         [](const Given& given, const CLI::App& app, Options& options) {
             if (given.addresses.empty() && !IsGiven(app, "--tags"))
                 return std::string(
                     "poll takes one or more addresses, e.g. kivhost poll 01W0010 01B0100, or --tags TAGFILE");
             if (IsGiven(app, "--tags") && given.tags.empty())
                 return std::string("--tags needs the name of a tag file");
             options.pollTags = given.tags;
             if (std::string error = TakeAddresses(given.addresses, options); !error.empty())
                 return error;
             if (std::string error = TakeCount(given, app, options); !error.empty())
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
         "again every --retry-down seconds. On a terminal the table is redrawn in place;\n"
         "otherwise one line per cycle. Ctrl-C stops after the exchange under way; a\n"
         "second Ctrl-C ends at once.\n"
         "Examples:\n  kivhost scan examples/pump-station.csv --plan\n"
         "  kivhost --port ttyUSB0 scan examples/pump-station.csv --csv scan.csv",
         true,
         [](CLI::App& sub, Given& given) {
             sub.add_option("TAGFILE", given.tagFile, "the tag file, e.g. examples/pump-station.csv")->type_name("");
             AddCycles(sub, given);
             sub.add_option("--max-gap", given.maxGap,
                            "elements that may lie unused between tags of one block\n(default 8; -1: a read per tag)")
                 ->type_name("N");
             sub.add_flag("--plan", given.plan, "print the block reads and stop; no port needed")
                 ->disable_flag_override();
             sub.add_option("--retry-down", given.retryDown,
                            "seconds between tries of a station that stopped\nanswering (default 10)")
                 ->type_name("S");
             sub.add_option("--csv", given.csv, "append a row per tag per cycle to FILE")->type_name("FILE");
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
             if (IsGiven(app, "--retry-down")) {
                 const auto seconds = ParseRetryDown(given.retryDown, &why);
                 if (!seconds)
                     return why;
                 options.scan.retryDownS = *seconds;
             }
             options.scan.plan = given.plan;
             return TakeFiles(app,
                              {FileOption{"--csv", &given.csv, &options.scan.csvPath},
                               FileOption{"--jsonl", &given.jsonl, &options.scan.jsonlPath}},
                              " to append to");
         }},

        {Command::Stations, "stations", "asks each station once and lists which answer, and how fast",
         "stations [--range FIRST-LAST]",
         "Each station of the range gets a one-word read of W0000, with a short time-out\n"
         "(100 ms unless --timeout is given): a station that does not answer costs four.\n"
         "Examples:\n  kivhost --port ttyUSB0 stations\n  kivhost --port ttyUSB0 stations --range 1-8",
         true,
         [](CLI::App& sub, Given& given) {
             sub.add_option("--range", given.range,
                            "the stations to ask, 1 to 32 (default 1-32); numbers as\neverywhere: 10 or 0x0A, not 0A")
                 ->type_name("FIRST-LAST");
         },
         [](const Given& given, const CLI::App& app, Options& options) {
             if (!IsGiven(app, "--range"))
                 return std::string();
             std::string why;
             const auto range = ParseStationRange(given.range, &why);
             if (!range)
                 return why;
             options.range = *range;
             return std::string();
         }},

        {Command::Demo, "demo", "the driver at work on simulated stations, no hardware", "demo",
         "Stations 1 and 2 answer on a pseudo-terminal of their own (Linux only); station\n"
         "3 is silent. Each call of the driver is shown and explained.\n"
         "Examples:\n  kivhost demo\n  kivhost demo --trace",
         false, [](CLI::App&, Given&) {}, [](const Given&, const CLI::App&, Options&) { return std::string(); }},

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

        {Command::Monitor, "monitor", "listens on a line: requests, replies, latency (Linux)",
         "monitor --port DEV [--gap MS] [--late MS] [--jsonl FILE] [--csv FILE]",
         "Opens DEV itself and never writes to it: a second adapter that only listens on\n"
         "the bus, or plcsim's --mirror. --port takes any path here, and --baud any rate\n"
         "the port takes (115200 too); --timeout does not apply. Frames end at CR, or\n"
         "after a quiet gap; each is timed at its first byte. Ctrl-C ends it with the\n"
         "summary per station: requests, replies, failures by reason, latency p50, p99\n"
         "and max.\n"
         "Examples:\n  kivhost monitor --port ttyUSB1 --baud 19200 --format 7E1\n"
         "  kivhost monitor --port /tmp/tap1 --jsonl line.jsonl",
         true,
         [](CLI::App& sub, Given& given) {
             sub.add_option("--gap", given.gap, "quiet that ends a frame whose CR was lost (default 50)")
                 ->type_name("MS");
             sub.add_option("--late", given.late,
                            "a reply later than this after its request is flagged\n(default 1000)")
                 ->type_name("MS");
             sub.add_option("--jsonl", given.jsonl, "each attempt as a JSON object, one a line, into FILE")
                 ->type_name("FILE");
             sub.add_option("--csv", given.csv, "each attempt as a CSV row into FILE")->type_name("FILE");
         },
         [](const Given& given, const CLI::App& app, Options& options) {
             MonitorOptions& monitor = options.monitor;
             if (given.port.empty())
                 return std::string("monitor needs the port it listens on: --port DEV, e.g. --port ttyUSB1, or "
                                    "plcsim's --mirror path");
             monitor.port = given.port;
             options.line.portGiven = true;
             options.line.portGivenAs = given.port;
             if (!given.baud.empty()) {
                 const auto baud = ParseNumber(given.baud, 50, MONITOR_BAUD_MAX);
                 if (!baud)
                     return Bad("--baud", given.baud, "give the line's rate, e.g. 9600, 19200 or 115200");
                 monitor.baud = *baud;
             }
             if (!given.timeout.empty())
                 return std::string("monitor only listens: --timeout does not apply (--late flags slow replies)");
             for (auto [name, text, ms] : {std::tuple{"--gap", &given.gap, &monitor.gapMs},
                                           std::tuple{"--late", &given.late, &monitor.lateMs}}) {
                 if (!IsGiven(app, name))
                     continue;
                 const auto value = ParseNumber(*text, 1, MONITOR_MS_MAX);
                 if (!value)
                     return Bad(name, *text, "give milliseconds, 1 to 600000");
                 *ms = *value;
             }
             return TakeFiles(
                 app,
                 {FileOption{"--jsonl", &given.jsonl, &monitor.jsonl}, FileOption{"--csv", &given.csv, &monitor.csv}},
                 "");
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

// CLI11's layout, with the line and output options of the program shown in
// every command's help too, as they may be given before or after it.
class HelpFormatter : public CLI::Formatter {
public:
    HelpFormatter()
    {
        column_width(22);
        label("Positionals", "Arguments");
    }

    std::string make_help(const CLI::App* app, std::string, CLI::AppFormatMode mode) const override
    {
        std::ostringstream out;
        const CLI::App* parent = app->get_parent();
        if (parent == nullptr) {
            out << app->get_description() << "\n\n";
            out << "Usage: kivhost [options] COMMAND [arguments]\n";
            out << "       kivhost COMMAND --help\n";
            out << make_subcommands(app, mode);
            out << Groups(app, {LINE_GROUP, OUTPUT_GROUP, OTHER_GROUP});
        } else {
            const CommandEntry* entry = FindCommand(app->get_name());
            out << "kivhost " << app->get_name() << ": " << app->get_description() << "\n\n";
            out << "Usage: kivhost [options] " << (entry != nullptr ? entry->usage : app->get_name().c_str()) << "\n";
            out << make_positionals(app);
            out << Groups(app, {"Options"});
            out << Groups(parent, entry != nullptr && entry->usesLine
                                      ? std::vector<std::string>{LINE_GROUP, OUTPUT_GROUP}
                                      : std::vector<std::string>{OUTPUT_GROUP});
            out << "\nkivhost --help shows the rest.\n";
        }
        if (!app->get_footer().empty())
            out << "\n" << app->get_footer() << "\n";
        return out.str();
    }

    std::string Groups(const CLI::App* app, const std::vector<std::string>& groups) const
    {
        std::string out;
        for (const std::string& group : groups) {
            const auto options = app->get_options(
                [&group](const CLI::Option* o) { return o->get_group() == group && o->nonpositional(); });
            if (!options.empty())
                out += make_group(group, false, options);
        }
        return out;
    }

    // "--trace{text}" is how CLI11 spells a flag's value when none is given.
    std::string make_option_name(const CLI::Option* option, bool positional) const override
    {
        std::string name = CLI::Formatter::make_option_name(option, positional);
        const size_t brace = name.find('{');
        if (brace != std::string::npos)
            name.erase(brace, name.find('}', brace) + 1 - brace);
        return name;
    }

    std::string make_option_opts(const CLI::Option* option) const override
    {
        const std::string& text = option->get_option_text();
        if (!text.empty() && text.front() == '[')
            return text;  // an optional value: --trace[=MODE]
        return CLI::Formatter::make_option_opts(option);
    }
};

// CLI11's messages, in this program's words where it has its own.
std::string ParseErrorText(const CLI::ParseError& error)
{
    const std::string what = error.what();
    if (what.find("disallowed flag override") != std::string::npos)
        return "--" + what.substr(0, what.find(' ')) + " takes no value";
    if (what.find("required") != std::string::npos && what.find("missing") != std::string::npos &&
        what.starts_with("-"))
        return what.substr(0, what.find(':')) + " needs a value; kivhost --help shows it";
    return what;
}

bool LooksLikeOption(const std::string& text)
{
    return text.size() >= 2 && text[0] == '-';
}

// What is left over once CLI11 has taken what it knows: options it does not
// know, or does not know where they were given, and arguments too many.
using Subcommands = std::vector<std::pair<const CommandEntry*, CLI::App*>>;

std::string LeftOver(const std::vector<std::string>& left, const Subcommands& subs, const CommandEntry* entry,
                     const CLI::App* sub)
{
    for (const std::string& item : left) {
        if (!LooksLikeOption(item))
            continue;
        const std::string name = item.substr(0, item.find('='));
        if (sub != nullptr && sub->get_option_no_throw(name) != nullptr)
            return name + " goes after the command: kivhost [options] " + entry->usage;
        for (const auto& [other, owner] : subs) {
            if (owner->get_option_no_throw(name) == nullptr)
                continue;
            if (entry == nullptr)
                return name + " belongs to a command, after it: e.g. kivhost [options] " + other->usage;
            return name + " does not apply to " + entry->name + "; kivhost " + entry->name +
                   " --help shows its options";
        }
        return "unknown option " + name + "; kivhost --help lists the options";
    }
    if (left.empty())
        return {};
    if (entry == nullptr)
        return "unknown command \"" + left.front() + "\"; the commands are " + CommandNames();
    const bool takesArguments = !sub->get_options([](const CLI::Option* o) { return o->get_positional(); }).empty();
    return std::string(entry->name) + (takesArguments ? " takes no more arguments" : " takes no arguments") +
           ", got \"" + left.front() + "\"; kivhost " + entry->name + " --help shows its usage";
}

std::string TakeLine(const Given& given, const CLI::App& app, Options& options)
{
    LineOptions& line = options.line;
    // The monitor opens its port itself: no driver field to fit (its take has them).
    const bool ownPort = options.command == Command::Monitor;
    if (IsGiven(app, "--port") && !ownPort) {
        std::string error;
        line.port = DriverPortName(given.port, &error);
        if (line.port.empty())
            return error;
        line.portGivenAs = given.port;
        line.portGiven = true;
    }
    if (IsGiven(app, "--baud") && !ownPort) {
        // Larger rates do not fit the driver's 16-bit field.
        const auto baud = ParseNumber(given.baud, 50, 65535);
        if (!baud)
            return Bad("--baud", given.baud, "the driver takes 50 to 65535 bits per second, e.g. 9600 or 19200");
        line.baud = static_cast<uint16_t>(*baud);
    }
    // --format and the separate options may both be given where they agree, as in plcsim.
    plcsim::CharFormat format;  // 8N1
    const bool formatGiven = IsGiven(app, "--format");
    if (formatGiven) {
        const auto parsed = plcsim::ParseCharFormat(given.format);
        if (!parsed)
            return Bad("--format", given.format,
                       "give data bits 5 to 8, parity N, E, O, M or S, and stop bits 1, 1.5 or 2, e.g. 8N1 or 7E1");
        format = *parsed;
    }
    auto disagree = [&given](const char* option, const std::string& value) {
        return "--format " + given.format + " and " + option + " " + value + " disagree";
    };
    if (IsGiven(app, "--data-bits")) {
        const auto bits = ParseNumber(given.dataBits, 5, 8);
        if (!bits)
            return Bad("--data-bits", given.dataBits, "data bits are 5 to 8, usually 8 (or 7 with even parity)");
        if (formatGiven && static_cast<int>(*bits) != format.dataBits)
            return disagree("--data-bits", given.dataBits);
        format.dataBits = static_cast<int>(*bits);
    }
    if (IsGiven(app, "--parity")) {
        const auto parity = plcsim::ParseParity(given.parity);
        if (!parity)
            return Bad("--parity", given.parity, "use none, odd, even, mark or space (or n, o, e, m, s)");
        if (formatGiven && *parity != format.parity)
            return disagree("--parity", given.parity);
        format.parity = *parity;
    }
    if (IsGiven(app, "--stop-bits")) {
        // The stop bits read as the last part of a format, by the one rule.
        const auto parsed = plcsim::ParseCharFormat("8N" + given.stopBits);
        if (!parsed)
            return Bad("--stop-bits", given.stopBits, "use 1, 1.5 or 2");
        if (formatGiven && parsed->stopBits != format.stopBits)
            return disagree("--stop-bits", given.stopBits);
        format.stopBits = parsed->stopBits;
    }
    // The driver's codes: parity 0 none, 1 odd, 2 even, 3 mark, 4 space; stop
    // bits 0 one, 1 one and a half, 2 two.
    line.dataBits = static_cast<uint16_t>(format.dataBits);
    line.parity = static_cast<uint16_t>(std::string_view(PARITY_LETTERS).find(format.parity));
    line.stopBits = format.stopBits < 1.25 ? 0 : format.stopBits < 1.75 ? 1 : 2;
    if (IsGiven(app, "--timeout")) {
        const auto ms = ParseNumber(given.timeout, TIMEOUT_MIN_MS, TIMEOUT_MAX_MS);
        if (!ms)
            return Bad("--timeout", given.timeout, "give milliseconds from 10 to 60000, e.g. 1000");
        if (*ms % 10 != 0)
            return Bad("--timeout", given.timeout,
                       "the driver counts time-outs in steps of 10 ms; try " + std::to_string(*ms / 10 * 10) + " or " +
                           std::to_string(*ms / 10 * 10 + 10));
        line.timeoutUnits = *ms / 10;
        line.timeoutGiven = true;
    }
    return {};
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
        if (given.traceFile.empty())
            return "--trace-file needs the name of a file";
        options.traceFile = given.traceFile;
        if (options.trace == TraceMode::Off)
            options.trace = TraceMode::Text;
    }
    if (IsGiven(app, "--lib")) {
        if (given.library.empty())
            return "--lib needs the path of the driver library";
        options.library = given.library;
    }
    return {};
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args)
{
    auto fail = [](std::string message) { return CommandLine{std::nullopt, std::move(message)}; };

    Given given;
    CLI::App app("kivhost: talks to Unitronix PLCs through the DAVODEV driver, calling it as a host\n"
                 "program does: GetKivInfo, ColdStart, the address parsers, the reads and writes,\n"
                 "EndKiv.",
                 "kivhost");
    app.formatter(std::make_shared<HelpFormatter>());
    app.allow_extras();
    // A path such as /tmp/plc1 is an argument on Windows too, not an option
    // written /name (the commands, added below, take this from the app).
    app.allow_windows_style_options(false);
    app.set_help_flag("-h,--help", "this help; kivhost COMMAND --help for a command's own");
    app.footer("Addresses: SSOnnnn[b] - station SS (hex, 01 to 20), operand O (W word, B bit,\n"
               "  A or E byte and bit, E read-only), four hex digits, then an optional bit\n"
               "  digit (0-F) for a bit of a W word: 01W0010, 01W00105, 02A01F7 (byte 1F,\n"
               "  bit 7), 01B0100. At most 8 characters.\n"
               "Numbers (values, counts, times): decimal (4660) or hex with 0x (0x1234); values\n"
               "  are 0 to 65535 for words, 0 or 1 for bits.\n"
               "Everything is checked before the port is opened, the addresses by the\n"
               "  driver's parser too.\n"
               "Exit status: 0 done; 1 rejected by the driver (address, operand); 2 line, port\n"
               "  or PLC failure, or the driver cannot be loaded; 64 usage error; 130 ended at\n"
               "  once by a second Ctrl-C (poll, scan, stations).");

    app.add_option("--port", given.port,
                   "the serial port, at most 11 characters. Windows: COM1\n"
                   "(the default), COM3, ... Linux: a name under /dev\n"
                   "(ttyUSB0, or /dev/ttyUSB0), COMn for /dev/ttyS(n-1),\n"
                   "or a path such as /tmp/plc1")
        ->type_name("NAME")
        ->group(LINE_GROUP);
    app.add_option("--baud", given.baud, "50 to 65535 (the driver's field is 16 bits)")
        ->type_name("N")
        ->group(LINE_GROUP);
    app.add_option("--format", given.format,
                   "data bits, parity and stop bits in one: 8N1, 7E1,\n8N2, 8N1.5 (the three below must agree with it)")
        ->type_name("DPS")
        ->group(LINE_GROUP);
    app.add_option("--data-bits", given.dataBits, "5 to 8")->type_name("N")->group(LINE_GROUP);
    app.add_option("--parity", given.parity, "none, odd, even, mark or space (n, o, e, m, s)")
        ->type_name("P")
        ->group(LINE_GROUP);
    app.add_option("--stop-bits", given.stopBits, "1, 1.5 or 2")->type_name("S")->group(LINE_GROUP);
    app.add_option("--timeout", given.timeout,
                   "reply time-out, 10 to 60000 in steps of 10; a station\nthat does not answer costs four of them")
        ->type_name("MS")
        ->group(LINE_GROUP);
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
    app.get_help_ptr()->group(OTHER_GROUP);

    Subcommands subs;
    for (const CommandEntry& entry : Commands()) {
        CLI::App* sub = app.add_subcommand(entry.name, entry.summary);
        subs.emplace_back(&entry, sub);
        sub->group("Commands");
        sub->fallthrough();
        sub->allow_extras();
        sub->set_help_flag("-h,--help", "this help");
        sub->footer(entry.footer);
        entry.declare(*sub, given);
    }

    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        Options options;
        options.command = Command::Help;
        options.helpText = app.help();
        return {options, {}};
    } catch (const CLI::ParseError& error) {
        return fail(ParseErrorText(error));
    }

    const CLI::App* sub = nullptr;
    const CommandEntry* entry = nullptr;
    for (const auto& [candidate, candidateApp] : subs) {
        if (candidateApp->parsed()) {
            sub = candidateApp;
            entry = candidate;
            break;
        }
    }
    std::vector<std::string> left = app.remaining();
    if (sub != nullptr) {
        const std::vector<std::string> more = sub->remaining();
        left.insert(left.end(), more.begin(), more.end());
    }
    if (given.version && entry == nullptr && left.empty()) {
        Options options;
        options.command = Command::Version;  // still takes --lib
        if (std::string error = TakeOutput(given, app, options); !error.empty())
            return fail(error);
        return {options, {}};
    }
    if (std::string error = LeftOver(left, subs, entry, sub); !error.empty())
        return fail(error);
    if (entry == nullptr)
        return fail("no command given; try kivhost demo, or kivhost --help for the commands");
    if (given.version)
        return fail("--version takes no command; try kivhost --version");

    Options options;
    options.command = entry->command;
    if (std::string error = entry->take(given, *sub, options); !error.empty())
        return fail(error);
    if (std::string error = TakeLine(given, app, options); !error.empty())
        return fail(error);
    if (std::string error = TakeOutput(given, app, options); !error.empty())
        return fail(error);
    // The diagnostics' own copies of what the shared options say.
    options.decode.json = options.json;
    options.monitor.dataBits = options.line.dataBits;
    options.monitor.parity = options.line.parity;
    options.monitor.stopBits = options.line.stopBits;
    if (entry->command == Command::Decode && options.line.portGiven)
        return fail("decode reads a captured trace, not a port; leave out --port (monitor listens on one)");
    if (entry->command == Command::Demo && options.line.portGiven)
        return fail("demo runs its own simulated stations; leave out --port (read, write and poll take it)");
    // The plan of a scan is made without the line.
    const bool needsPort = entry->usesLine && !(entry->command == Command::Scan && options.scan.plan);
    if (needsPort && !options.line.portGiven) {
#if defined(_WIN32)
        options.line.port = "COM1";  // the first port, as on most Windows hosts
        options.line.portGivenAs = "COM1";
#else
        return fail("no port given: add --port NAME, e.g. --port ttyUSB0 (/dev/ttyUSB0) or --port COM1 (/dev/ttyS0); "
                    "or try kivhost demo");
#endif
    }
    return {options, {}};
}

}  // namespace kivhost
