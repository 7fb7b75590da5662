#include "kivhost_options.h"

#include <cctype>
#include <charconv>
#include <map>

namespace kivhost {
namespace {

constexpr size_t PORT_NAME_MAX = 11;  // the driver's field holds 11 characters and a NUL
constexpr uint32_t TIMEOUT_MIN_MS = 10;
constexpr uint32_t TIMEOUT_MAX_MS = 60000;
constexpr int32_t MAX_COUNT = 255;
constexpr uint32_t INTERVAL_MAX_MS = 3600000;

const std::map<std::string_view, Command> COMMANDS = {
    {"help", Command::Help}, {"info", Command::Info},   {"parse", Command::Parse},
    {"read", Command::Read}, {"write", Command::Write}, {"poll", Command::Poll},
    {"demo", Command::Demo}, {"scan", Command::Scan},   {"stations", Command::Stations},
};

enum class Takes { Nothing, Argument };

// Options that belong to some commands only; the others fit them all.
struct OptionRule {
    Takes takes;
    std::vector<Command> only;  // empty: any command
};

const std::map<std::string_view, OptionRule> OPTIONS = {
    {"--port", {Takes::Argument, {}}},
    {"--baud", {Takes::Argument, {}}},
    {"--data-bits", {Takes::Argument, {}}},
    {"--parity", {Takes::Argument, {}}},
    {"--stop-bits", {Takes::Argument, {}}},
    {"--timeout", {Takes::Argument, {}}},
    {"--lib", {Takes::Argument, {}}},
    {"--json", {Takes::Nothing, {}}},
    {"--trace", {Takes::Nothing, {}}},
    {"--help", {Takes::Nothing, {}}},
    {"--version", {Takes::Nothing, {}}},
    {"--type", {Takes::Argument, {Command::Parse}}},
    {"--block", {Takes::Nothing, {Command::Parse}}},
    {"--count", {Takes::Argument, {Command::Parse, Command::Read, Command::Poll}}},
    {"--interval", {Takes::Argument, {Command::Poll, Command::Scan}}},
    {"--cycles", {Takes::Argument, {Command::Poll, Command::Scan}}},
    {"--tags", {Takes::Argument, {Command::Poll}}},
    {"--max-gap", {Takes::Argument, {Command::Scan}}},
    {"--plan", {Takes::Nothing, {Command::Scan}}},
    {"--retry-down", {Takes::Argument, {Command::Scan}}},
    {"--csv", {Takes::Argument, {Command::Scan}}},
    {"--jsonl", {Takes::Argument, {Command::Scan}}},
    {"--range", {Takes::Argument, {Command::Stations}}},
};

const char* CommandName(Command command)
{
    if (command == Command::Version)
        return "--version";
    for (const auto& [name, value] : COMMANDS)
        if (value == command)
            return name.data();
    return "?";
}

template <typename T>
std::optional<T> ParseInteger(std::string_view text, T low, T high, int base = 10)
{
    T value{};
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
    if (text.empty() || ec != std::errc() || ptr != end || value < low || value > high)
        return std::nullopt;
    return value;
}

std::string Upper(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

struct Raw {
    std::vector<std::string> positional;
    std::vector<std::pair<std::string, std::string>> options;  // in order given
};

}  // namespace

ValueKind GuessValueKind(std::string_view address)
{
    if (address.size() < 3)
        return ValueKind::Word;
    const char operand = static_cast<char>(std::toupper(static_cast<unsigned char>(address[2])));
    if (operand == 'A' || operand == 'B' || operand == 'E')
        return ValueKind::Bit;
    return HasBitDigit(address) ? ValueKind::Bit : ValueKind::Word;
}

bool HasBitDigit(std::string_view address)
{
    // The parser reads a seventh-position space, or nothing, as no bit.
    return address.size() >= 8 && address[7] != ' ';
}

uint32_t DefaultTagType(std::string_view address)
{
    return GuessValueKind(address) == ValueKind::Bit ? TAG_TYPE_BIT : TAG_TYPE_WORD;
}

std::optional<uint16_t> ParseValue(std::string_view text, ValueKind kind)
{
    std::optional<uint32_t> value;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        value = ParseInteger<uint32_t>(text.substr(2), 0, 0xFFFF, 16);
    else
        value = ParseInteger<uint32_t>(text, 0, 0xFFFF);
    if (!value || (kind == ValueKind::Bit && *value > 1))
        return std::nullopt;
    return static_cast<uint16_t>(*value);
}

std::string DriverPortName(std::string_view name, std::string* error)
{
    if (name.empty()) {
        *error = "--port needs a name, e.g. --port ttyUSB0 or --port COM3";
        return {};
    }
    std::string_view fitted = name;
    if (fitted.size() > PORT_NAME_MAX && fitted.starts_with("/dev/"))
        fitted.remove_prefix(5);  // the driver looks for bare names under /dev
    if (fitted.size() > PORT_NAME_MAX) {
        *error = "port name \"" + std::string(name) +
                 "\" is longer than the driver's 11 characters; make a short link to it, e.g. ln -s " +
                 std::string(name) + " /tmp/plc1, and use --port /tmp/plc1";
        return {};
    }
    return std::string(fitted);
}

CommandLine ParseCommandLine(const std::vector<std::string>& args)
{
    auto fail = [](std::string message) { return CommandLine{std::nullopt, std::move(message)}; };

    Raw raw;
    bool onlyPositional = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (onlyPositional || arg.size() < 2 || arg[0] != '-' || (arg[1] != '-' && arg != "-h")) {
            raw.positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            onlyPositional = true;
            continue;
        }
        std::string name = arg == "-h" ? "--help" : arg;
        std::optional<std::string> value;
        if (const size_t eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        const auto rule = OPTIONS.find(name);
        if (rule == OPTIONS.end())
            return fail("unknown option " + name + "; kivhost --help lists the options");
        if (rule->second.takes == Takes::Argument && !value) {
            if (i + 1 >= args.size())
                return fail(name + " needs a value; kivhost --help shows it");
            value = args[++i];
        } else if (rule->second.takes == Takes::Nothing && value) {
            return fail(name + " takes no value");
        }
        raw.options.emplace_back(name, value.value_or(""));
    }

    Options options;
    bool help = false;
    bool version = false;
    for (const auto& [name, value] : raw.options) {
        help = help || name == "--help";
        version = version || name == "--version";
    }
    if (raw.positional.empty()) {
        if (help)
            return {options, {}};
        if (!version)
            return fail("no command given; try kivhost demo, or kivhost --help for the commands");
        options.command = Command::Version;  // still takes --lib
    } else {
        const auto command = COMMANDS.find(raw.positional.front());
        if (command == COMMANDS.end())
            return fail("unknown command \"" + raw.positional.front() +
                        "\"; the commands are info, parse, read, write, poll and demo");
        options.command = help ? Command::Help : command->second;
        if (options.command == Command::Help)
            return {options, {}};
        if (version)
            return fail("--version takes no command; try kivhost --version");
    }
    const std::vector<std::string> operands(raw.positional.empty() ? raw.positional.end() : raw.positional.begin() + 1,
                                            raw.positional.end());

    for (const auto& [name, value] : raw.options) {
        const OptionRule& rule = OPTIONS.at(name);
        bool fits = rule.only.empty();
        for (Command c : rule.only)
            fits = fits || c == options.command;
        if (!fits)
            return fail(name + " does not apply to " + CommandName(options.command) +
                        "; kivhost --help shows where it goes");

        const std::string bad = "bad " + name + " \"" + value + "\": ";
        if (name == "--port") {
            std::string error;
            options.line.port = DriverPortName(value, &error);
            if (options.line.port.empty())
                return fail(error);
            options.line.portGiven = true;
        } else if (name == "--baud") {
            // Larger rates do not fit the driver's 16-bit field.
            auto baud = ParseInteger<uint32_t>(value, 50, 65535);
            if (!baud)
                return fail(bad + "the driver takes 50 to 65535 bits per second, e.g. 9600 or 19200");
            options.line.baud = static_cast<uint16_t>(*baud);
        } else if (name == "--data-bits") {
            auto bits = ParseInteger<uint16_t>(value, 5, 8);
            if (!bits)
                return fail(bad + "data bits are 5 to 8, usually 8 (or 7 with even parity)");
            options.line.dataBits = *bits;
        } else if (name == "--parity") {
            static const std::map<std::string, uint16_t> PARITY = {
                {"NONE", 0}, {"ODD", 1}, {"EVEN", 2}, {"MARK", 3}, {"SPACE", 4}};
            const auto parity = PARITY.find(Upper(value));
            if (parity == PARITY.end())
                return fail(bad + "use none, odd, even, mark or space");
            options.line.parity = parity->second;
        } else if (name == "--stop-bits") {
            static const std::map<std::string, uint16_t> STOP = {{"1", 0}, {"1.5", 1}, {"2", 2}};
            const auto stop = STOP.find(value);
            if (stop == STOP.end())
                return fail(bad + "use 1, 1.5 or 2");
            options.line.stopBits = stop->second;
        } else if (name == "--timeout") {
            auto ms = ParseInteger<uint32_t>(value, TIMEOUT_MIN_MS, TIMEOUT_MAX_MS);
            if (!ms)
                return fail(bad + "give milliseconds from 10 to 60000, e.g. 1000");
            if (*ms % 10 != 0)
                return fail(bad + "the driver counts time-outs in steps of 10 ms; try " +
                            std::to_string(*ms / 10 * 10) + " or " + std::to_string(*ms / 10 * 10 + 10));
            options.line.timeoutUnits = *ms / 10;
            options.line.timeoutGiven = true;
        } else if (name == "--lib") {
            if (value.empty())
                return fail("--lib needs the path of the driver library");
            options.library = value;
        } else if (name == "--json") {
            options.json = true;
        } else if (name == "--trace") {
            options.trace = true;
        } else if (name == "--type") {
            auto type = ParseInteger<uint32_t>(value, 0, UINT32_MAX);
            if (!type)
                return fail(bad + "a tag type is a number: 0 for a word, 6 for a bit");
            options.tagType = *type;
        } else if (name == "--block") {
            options.block = true;
        } else if (name == "--count") {
            // parse shows what the driver makes of any count; reads must fit a frame.
            auto count = options.command == Command::Parse ? ParseInteger<int32_t>(value, INT32_MIN, INT32_MAX)
                                                           : ParseInteger<int32_t>(value, 1, MAX_COUNT);
            if (!count)
                return fail(bad + "give a count from 1 to 255");
            options.count = *count;
            options.countGiven = true;
        } else if (name == "--interval") {
            auto ms = ParseInteger<uint32_t>(value, 0, INTERVAL_MAX_MS);
            if (!ms)
                return fail(bad + "give milliseconds between cycles, e.g. 500");
            options.intervalMs = *ms;
        } else if (name == "--cycles") {
            auto cycles = ParseInteger<uint32_t>(value, 0, UINT32_MAX);
            if (!cycles)
                return fail(bad + "give a number of cycles, or 0 to poll until Ctrl-C");
            options.cycles = *cycles;
        } else if (name == "--tags") {
            if (value.empty())
                return fail("--tags needs the path of a tag file");
            options.pollTags = value;
        } else if (name == "--max-gap" || name == "--retry-down" || name == "--range") {
            std::string why;
            if (name == "--max-gap") {
                const auto gap = ParseMaxGap(value, &why);
                if (!gap)
                    return fail(why);
                options.scan.maxGap = *gap;
            } else if (name == "--retry-down") {
                const auto seconds = ParseRetryDown(value, &why);
                if (!seconds)
                    return fail(why);
                options.scan.retryDownS = *seconds;
            } else {
                const auto range = ParseStationRange(value, &why);
                if (!range)
                    return fail(why);
                options.range = *range;
            }
        } else if (name == "--plan") {
            options.scan.plan = true;
        } else if (name == "--csv" || name == "--jsonl") {
            if (value.empty())
                return fail(name + " needs the path of a file to append to");
            (name == "--csv" ? options.scan.csvPath : options.scan.jsonlPath) = value;
        }
    }

    switch (options.command) {
    case Command::Help:
    case Command::Version: break;
    case Command::Info:
    case Command::Stations:
    case Command::Demo:
        if (!operands.empty())
            return fail(std::string(CommandName(options.command)) + " takes no arguments, got \"" + operands.front() +
                        "\"");
        if (options.command == Command::Demo && options.line.portGiven)
            return fail("demo runs its own simulated stations; leave out --port (read, write and poll take it)");
        break;
    case Command::Parse:
    case Command::Read:
        if (operands.size() != 1)
            return fail(std::string(CommandName(options.command)) + " takes one address, e.g. kivhost " +
                        CommandName(options.command) + " 01W0010");
        options.addresses = operands;
        break;
    case Command::Write: {
        if (operands.size() < 2)
            return fail("write takes an address and its values, e.g. kivhost write 01W0010 0x1234 (words) or 01B0100 1 "
                        "0 1 (bits)");
        options.addresses = {operands.front()};
        const ValueKind kind = GuessValueKind(operands.front());
        for (size_t i = 1; i < operands.size(); ++i) {
            auto value = ParseValue(operands[i], kind);
            if (!value)
                return fail(
                    "bad value \"" + operands[i] + "\" for " + operands.front() + ": " +
                    (kind == ValueKind::Bit ? "a bit is 0 or 1" : "a word is 0 to 65535, or 0x0000 to 0xFFFF in hex"));
            options.values.push_back(*value);
        }
        if (options.values.size() > static_cast<size_t>(MAX_COUNT))
            return fail("at most 255 values go in one write; split it");
        if (HasBitDigit(operands.front()) && options.values.size() > 1)
            return fail("a bit of a word (" + operands.front() + ") takes one value, 0 or 1");
        options.count = static_cast<int32_t>(options.values.size());
        break;
    }
    case Command::Poll:
        if (operands.empty() && options.pollTags.empty())
            return fail("poll takes one or more addresses, e.g. kivhost poll 01W0010 01B0100, or --tags FILE");
        options.addresses = operands;
        break;
    case Command::Scan:
        if (operands.size() != 1)
            return fail("scan takes one tag file, e.g. kivhost scan examples/pump-station.csv");
        options.scan.tagFile = operands.front();
        break;
    }

    const bool usesLine = options.command == Command::Read || options.command == Command::Write ||
                          options.command == Command::Poll || options.command == Command::Stations ||
                          (options.command == Command::Scan && !options.scan.plan);
    if (usesLine && !options.line.portGiven) {
#if defined(_WIN32)
        options.line.port = "COM1";  // the first port, as on most Windows hosts
#else
        return fail("no port given: add --port NAME, e.g. --port ttyUSB0 (/dev/ttyUSB0) or --port COM1 (/dev/ttyS0); "
                    "or try kivhost demo");
#endif
    }
    return {options, {}};
}

std::string UsageText()
{
    return R"(Usage: kivhost [options] COMMAND [arguments]

Talks to Unitronix PLCs through the DAVODEV driver, calling it as a host
program does: GetKivInfo, ColdStart, the address parsers, the reads and
writes, EndKiv.

Commands:
  info                    the driver's banner and what it tells a host
  parse ADDR [--type N] [--count N] [--block]
                          the driver address made of ADDR, or its rejection;
                          tag type 0 (word) or 6 (bit) is chosen from ADDR
  read ADDR [--count N]   one value, or a run of N (1 to 255)
  write ADDR VALUE...     one value, or a run when several are given; a W
                          address with a bit digit sets (1) or resets (0) it
  poll ADDR... [--count N] [--interval MS] [--cycles N]
                          reads the addresses every MS (default 1000) for N
                          cycles (default 0: until Ctrl-C): values, good and
                          failed exchanges, last and average time
  scan TAGFILE [--interval MS] [--cycles N] [--max-gap N] [--plan]
       [--retry-down S] [--csv FILE] [--jsonl FILE]
                          reads the tags of a file in grouped block reads,
                          cycle after cycle: a live table, logs; a station
                          that stops answering is asked every S seconds
  stations [--range 1-32]
                          asks each station once and lists who answers
  demo                    the driver at work against simulated stations on a
                          pseudo-terminal: no hardware, no options needed

Addresses: SSOnnnn[b] - station SS (hex, 01 to 20), operand O (W word, B bit,
  A or E byte and bit, E read-only), four hex digits, then an optional bit
  digit (0-F) for a bit of a W word. E.g. 01W0010, 01W00105, 02A01F7
  (byte 1F, bit 7), 01B0100.
Values: decimal (4660) or hexadecimal with 0x (0x1234), 0 to 65535 for
  words; 0 or 1 for bits.

Line (defaults: 9600 baud, 8N1, 1000 ms):
  --port NAME       the serial port, at most 11 characters. Windows: COM1
                    (the default), COM3, ... Linux: a name under /dev
                    (ttyUSB0, or /dev/ttyUSB0), COMn for /dev/ttyS(n-1)
                    (COM1 is /dev/ttyS0), or a path such as /tmp/plc1
  --baud N          50 to 65535 (the driver's field is 16 bits)
  --data-bits N     5 to 8
  --parity P        none, odd, even, mark or space
  --stop-bits S     1, 1.5 or 2
  --timeout MS      reply time-out, 10 to 60000 in steps of 10; a station
                    that does not answer costs four of them

Output:
  --json            for scripts: one JSON document per command (poll: one
                    object per cycle, one a line)
  --trace           the driver's byte traces ("trace| ") and log lines
                    ("log 16| ") on standard error, as they happen
  --lib PATH        the driver library to load (default: the one beside
                    kivhost, else the one its package installed)
  --version         kivhost's version, and the driver's from its banner
  -h, --help        this text

Exit status: 0 done; 1 rejected by the driver (address, operand); 2 line or
PLC failure, or the driver cannot be loaded; 64 usage error.
)";
}

}  // namespace kivhost
