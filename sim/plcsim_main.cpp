// plcsim: PLC stations on a pseudo-terminal or a serial device.
#include <pthread.h>

#include <CLI/CLI.hpp>

#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "davodev_version.h"
#include "number_rules.h"
#include "pcon_station.h"
#include "plc_simulator.h"

namespace {

// The exit codes kivhost uses as well.
constexpr int EXIT_LINE = 2;    // the line could not be served
constexpr int EXIT_USAGE = 64;  // the command line is wrong

constexpr size_t PORT_NAME_MAX = 11;  // what the driver's port name holds

constexpr const char* DESCRIPTION = R"(Simulates PLC stations on a serial line. They answer read, write and
set/reset requests and can be told to misbehave. Stop with Ctrl-C (SIGINT),
SIGTERM or SIGHUP.
)";

constexpr const char* FOOTER = R"(Numbers are decimal, or hex with 0x: --baud 9600, --set 1:W0010=0x1234.
Stations are 1 to 32: 10 and 0x0A are station 10. A tag address writes the
station as two hex digits (0A is station 10); that form is refused where it
has a letter ("0A: write 10 or 0x0A"), and 10 without 0x is ten.

Faults (FAULT is NAME[=VALUE][@PROBABILITY]; PROBABILITY 0 to 1, default 1:
the chance, drawn for each request, that the fault applies at all):
  silent            the request is not heard: not executed, no reply
  drop[=P]          executed, but the reply is lost with probability P
                    (default 1); drop=P@Q loses it with probability P*Q
  wrong[=S]         the reply names station S, 1 to 255 (default: the
                    addressed one + 1)
  nak[=C]           the reply has the character C at position 1 instead of
                    "A" (default N)
  truncate[=K]      only the first K characters of the reply (default 5)
  extra[=N]         N junk bytes after the reply (default 3)
  noise[=N]         N junk bytes before the reply (default 3)
  delay=MS          the reply starts MS milliseconds late
  split[=N[/MS]]    the reply in N pieces (default 2), MS ms apart (default 20)
  corrupt           one data character damaged: a word digit becomes "G",
                    a bit character flips; the checksum is not fixed
  pace              this station's replies paced, as --pace
A second --fault of the same name for a station replaces the first.
e.g. --fault 2:drop=0.3 --fault 1:delay=200 --script 1:silent:3

Requests and replies (checksum: sum of the character codes after "/", mod 256,
two hex digits; CR ends every frame):
  read      /01RW0010022D      ->  /A01RW<4 hex digits per word>cc
  write     /01SW0010011234F7  ->  /A01SWcc
  set bit   /01X100105s53      ->  /A01X1cc

Exit status: 0 stopped by a signal; 2 the line could not be served (the
device does not open); 64 a usage error, with one line on standard error
saying what is wrong.)";

[[noreturn]] void Fail(const std::string& message)
{
    std::fprintf(stderr, "plcsim: %s (try --help)\n", message.c_str());
    std::exit(EXIT_USAGE);
}

// The command line as given; checked and turned into settings afterwards,
// so every value is read by the same rules and refused with the same words.
struct Arguments {
    bool pty = false;
    std::string device;
    std::string link;
    std::string mirror;
    std::string baud;
    std::string format;
    std::string dataBits;
    std::string parity;
    std::string stopBits;
    bool pace = false;
    std::string stations = "1";
    std::vector<std::string> sets;
    std::vector<std::string> faults;
    std::vector<std::string> scripts;
    std::string seed;
    bool verbose = false;
};

void Describe(CLI::App& app, Arguments& args)
{
    const auto option = [&](const char* name, std::string& value, const char* text, const char* description,
                            const char* group) {
        app.add_option(name, value, description)->option_text(text)->type_name(text)->group(group);
    };
    const auto repeated = [&](const char* name, std::vector<std::string>& values, const char* text,
                              const char* description, const char* group) {
        app.add_option(name, values, description)
            ->option_text(text)
            ->type_name(text)
            ->group(group)
            ->allow_extra_args(false);
    };
    const char* line = "Line";
    app.add_flag("--pty", args.pty,
                 "serve a new pseudo-terminal (the default). The first\n"
                 "line printed is the path of its slave side: open that\n"
                 "path as the serial port.")
        ->group(line);
    option("--device", args.device, "PATH",
           "serve a serial device instead, e.g. /dev/ttyUSB0.\n"
           "The first line printed is PATH.",
           line);
    option("--link", args.link, "PATH",
           "also make PATH a symbolic link to the line, removed on\n"
           "exit. Only a symbolic link (or nothing) at PATH is\n"
           "replaced. Keep it short (a port name holds at most 11\n"
           "characters), e.g. /tmp/plc1.",
           line);
    option("--mirror", args.mirror, "PATH",
           "a second pseudo-terminal, linked at PATH as --link is,\n"
           "on which every byte of the line appears in time order,\n"
           "requests and replies alike, as a listening adapter on\n"
           "a bus sees them; its path is the second line printed.\n"
           "A reader that is slow or absent never holds the line\n"
           "up: what it cannot take is dropped (-v counts it).",
           line);
    option("--baud", args.baud, "N",
           "baud rate (default 9600): of the device, and of the\n"
           "pacing; a standard rate from 50 to 921600 (9600,\n"
           "19200, 115200, ...). A pseudo-terminal keeps it but\n"
           "does not slow down.",
           line);
    option("--format", args.format, "DPS",
           "character format in one: data bits 5-8, parity\n"
           "N/E/O/M/S, stop bits 1, 1.5 or 2 (default 8N1).\n"
           "A pseudo-terminal always carries 8N1; the format\n"
           "still sets the pacing.",
           line);
    option("--data-bits", args.dataBits, "N", "data bits, 5 to 8 (default 8)", line);
    option("--parity", args.parity, "P",
           "none, odd, even, mark or space, or n, o, e, m, s\n"
           "(default none)",
           line);
    option("--stop-bits", args.stopBits, "S", "1, 1.5 or 2 (default 1)", line);
    app.add_flag("--pace", args.pace,
                 "send every reply byte by byte at the time the line's\n"
                 "baud rate and format would deliver it (10 bit times\n"
                 "per 8N1 character). Requests are read as fast as\n"
                 "they come.")
        ->group(line);

    const char* stations = "Stations";
    option("--stations", args.stations, "LIST",
           "the stations on the line, 1 to 32, comma separated\n"
           "(default 1). Requests for other stations get no reply.",
           stations);
    repeated("--set", args.sets, "S:ITEM=VALUE",
             "set memory of station S before starting. Repeatable.\n"
             "The address is written as in a tag, in hex:\n"
             "  S:Wnnnn=V      word nnnn to V (0 to 65535)\n"
             "  S:Bnnnn=0|1    bit nnnn\n"
             "  S:Abbbb=0|1    byte bbb (00-1F), bit b (0-7):\n"
             "                 A01F7 is byte 1F, bit 7; A1F,7 too\n"
             "  S:Ebbbb=0|1    the same for E\n"
             "e.g. --set 1:W0010=0x1234 --set 1:A01F7=1",
             stations);

    const char* faults = "Faults";
    repeated("--fault", args.faults, "S:FAULT", "a standing fault of station S. Repeatable.", faults);
    repeated("--script", args.scripts, "S:FAULT:N",
             "only the next N requests to station S get FAULT\n"
             "(each with FAULT's probability). Scripts for one\n"
             "station run one after the other.",
             faults);
    option("--seed", args.seed, "N",
           "seed for every random choice (default 1): the same\n"
           "seed and the same requests give the same faults.",
           faults);

    const char* output = "Output";
    app.add_flag("-v,--verbose", args.verbose,
                 "print every request (rx) and reply (tx), one a line:\n"
                 "seconds since start, rx/tx, station, the bytes with CR\n"
                 "as \\r, [faults applied] and (why no reply); and what\n"
                 "the mirror's reader missed.")
        ->group(output);
    app.set_version_flag("--version", "plcsim " + std::string(kiv::VERSION), "plcsim's version")->group(output);
    app.set_help_flag("-h,--help", "this text")->group(output);
}

// context names the option and its whole argument, of which text is a part.
int64_t Number(const std::string& context, const std::string& text, int64_t low, int64_t high)
{
    std::string why;
    const auto value = plcsim::ParseNumber(text, low, high, &why);
    if (!value)
        Fail(context + ": " + why);
    return *value;
}

int Station(const std::string& option, const std::string& argument, std::string_view text)
{
    std::string why;
    const auto station = plcsim::ParseStation(text, &why);
    if (!station)
        Fail(option + " " + argument + ": " + why);
    return *station;
}

std::vector<int> ParseStations(const std::string& text)
{
    std::vector<int> stations;
    std::string_view rest = text;
    while (true) {
        const size_t comma = rest.find(',');
        stations.push_back(Station("--stations", text, rest.substr(0, comma)));
        if (comma == std::string_view::npos)
            break;
        rest.remove_prefix(comma + 1);
    }
    return stations;
}

// Splits "S:REST" into the station, which must be on the line, and the rest.
std::pair<int, std::string> StationAndRest(const plcsim::Simulator& sim, const std::string& option,
                                           const std::string& text, const char* form)
{
    const size_t colon = text.find(':');
    if (colon == std::string::npos)
        Fail(option + " " + text + ": write " + form);
    const int station = Station(option, text, std::string_view(text).substr(0, colon));
    if (!sim.HasStation(station))
        Fail(option + " " + text + ": station " + std::to_string(station) + " is not on the line (see --stations)");
    return {station, text.substr(colon + 1)};
}

// Hex digits of a tag address: exactly count of them.
int TagHex(const std::string& argument, const std::string& digits, size_t count)
{
    const bool hex = digits.size() == count && digits.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
    if (!hex) {
        Fail("--set " + argument + ": the address after the operand is " + std::to_string(count) +
             " hex digits, as in a tag");
    }
    return std::stoi(digits, nullptr, 16);
}

void ApplySet(plcsim::Simulator& sim, const std::string& text)
{
    const auto [station, item] = StationAndRest(sim, "--set", text, "S:ITEM=VALUE, e.g. 1:W0010=0x1234");
    const size_t eq = item.find('=');
    if (item.size() < 2 || eq == std::string::npos)
        Fail("--set " + text + ": write S:ITEM=VALUE, e.g. 1:W0010=0x1234");
    const char operand = static_cast<char>(std::toupper(static_cast<unsigned char>(item[0])));
    const std::string address = item.substr(1, eq - 1);
    const std::string value = item.substr(eq + 1);
    if (operand == 'W') {
        const int number = TagHex(text, address, 4);
        sim.SetWord(station, number, static_cast<uint16_t>(Number("--set " + text, value, 0, 0xFFFF)));
        return;
    }
    if (operand != 'B' && operand != 'A' && operand != 'E')
        Fail("--set " + text + ": the operand is W, B, A or E");
    if (value != "0" && value != "1")
        Fail("--set " + text + ": a bit is 0 or 1");
    if (operand == 'B') {
        sim.SetBit(station, 'B', TagHex(text, address, 4), value == "1");
        return;
    }
    // As in a tag (01F7: byte 01F, bit 7), or as in a frame (1F,7).
    int number = 0;
    if (address.size() == 4 && address[2] == ',') {
        number = TagHex(text, address.substr(0, 2), 2) << 4 | TagHex(text, address.substr(3), 1);
    } else {
        number = TagHex(text, address, 4);
    }
    if (plcsim::ByteBitIndex(number) < 0)
        Fail("--set " + text + ": no such bit; bytes are 00 to 1F, bits 0 to 7");
    sim.SetBit(station, operand, number, value == "1");
}

plcsim::Fault FaultOf(const std::string& option, const std::string& argument, const std::string& text)
{
    std::string why;
    const auto fault = plcsim::ParseFault(text, &why);
    if (!fault)
        Fail(option + " " + argument + ": " + why);
    return *fault;
}

// Where --format and the separate options both speak, they must agree.
void ApplyFormat(const Arguments& args, plcsim::CharFormat& format)
{
    if (!args.format.empty()) {
        const auto parsed = plcsim::ParseCharFormat(args.format);
        if (!parsed)
            Fail("--format " + args.format + ": data bits 5-8, parity N/E/O/M/S, stop bits 1, 1.5 or 2, e.g. 8N1");
        format = *parsed;
    }
    const auto disagree = [&](const std::string& option, const std::string& value) {
        Fail("--format " + args.format + " and " + option + " " + value + " disagree");
    };
    if (!args.dataBits.empty()) {
        const int bits = static_cast<int>(Number("--data-bits " + args.dataBits, args.dataBits, 5, 8));
        if (!args.format.empty() && bits != format.dataBits)
            disagree("--data-bits", args.dataBits);
        format.dataBits = bits;
    }
    if (!args.parity.empty()) {
        const auto parity = plcsim::ParseParity(args.parity);
        if (!parity)
            Fail("--parity " + args.parity + ": use none, odd, even, mark or space (or n, o, e, m, s)");
        if (!args.format.empty() && *parity != format.parity)
            disagree("--parity", args.parity);
        format.parity = *parity;
    }
    if (!args.stopBits.empty()) {
        // The stop bits read as the last part of a format, by the one rule.
        const auto parsed = plcsim::ParseCharFormat("8N" + args.stopBits);
        if (!parsed)
            Fail("--stop-bits " + args.stopBits + ": use 1, 1.5 or 2");
        if (!args.format.empty() && parsed->stopBits != format.stopBits)
            disagree("--stop-bits", args.stopBits);
        format.stopBits = parsed->stopBits;
    }
}

void CheckLink(const std::string& option, const std::string& path)
{
    const std::string refusal = plcsim::LinkRefusal(path);
    if (!refusal.empty())
        Fail(option + " " + refusal);
}

// The driver's port name holds at most 11 characters.
void NoteLongName(const std::string& path)
{
    if (path.size() > PORT_NAME_MAX) {
        std::fprintf(stderr, "plcsim: note: %s is longer than a port name can be (11 characters)\n", path.c_str());
    }
}

struct Settings {
    plcsim::Options options;
    std::string device;
    bool verbose = false;
};

Settings Check(const Arguments& args)
{
    Settings settings;
    plcsim::Options& options = settings.options;
    if (args.pty && !args.device.empty())
        Fail("--pty and --device " + args.device + ": a line is one or the other");
    settings.device = args.device;
    settings.verbose = args.verbose;
    if (!args.baud.empty()) {
        options.baud = static_cast<int>(Number("--baud " + args.baud, args.baud, 1, 4000000));
        if (!plcsim::SupportedBaud(options.baud))
            Fail("--baud " + args.baud + ": not a rate a line can be set to, e.g. 9600, 19200 or 115200");
    }
    ApplyFormat(args, options.format);
    options.pace = args.pace;
    options.stations = ParseStations(args.stations);
    if (!args.seed.empty())
        options.seed = static_cast<uint32_t>(Number("--seed " + args.seed, args.seed, 0, UINT32_MAX));
    options.link = args.link;
    options.mirror = args.mirror;
    if (!args.link.empty())
        CheckLink("--link", args.link);
    if (!args.mirror.empty())
        CheckLink("--mirror", args.mirror);
    if (!args.link.empty() && args.link == args.mirror)
        Fail("--link and --mirror " + args.link + ": the line and its mirror need a link each");
    if (!args.link.empty() && args.link == args.device)
        Fail("--link " + args.link + ": that is the device itself");
    NoteLongName(args.link);
    NoteLongName(args.mirror);
    return settings;
}

void Configure(plcsim::Simulator& sim, const Arguments& args)
{
    for (const auto& text : args.sets)
        ApplySet(sim, text);
    for (const auto& text : args.faults) {
        const auto [station, fault] = StationAndRest(sim, "--fault", text, "S:FAULT, e.g. 1:drop=0.5");
        sim.SetFault(station, FaultOf("--fault", text, fault));
    }
    for (const auto& text : args.scripts) {
        const char* form = "S:FAULT:N, e.g. 1:silent:3";
        const auto [station, rest] = StationAndRest(sim, "--script", text, form);
        const size_t colon = rest.rfind(':');
        if (colon == std::string::npos)
            Fail("--script " + text + ": write " + form);
        const plcsim::Fault fault = FaultOf("--script", text, rest.substr(0, colon));
        const std::string count = rest.substr(colon + 1);
        sim.ScriptFault(station, fault, static_cast<int>(Number("--script " + text, count, 1, INT32_MAX)));
    }
}

Arguments ParseCommandLine(int argc, char** argv)
{
    CLI::App app(DESCRIPTION, "plcsim");
    app.footer(FOOTER);
    app.get_formatter()->column_width(24);
    Arguments args;
    Describe(app, args);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), stdout);
        std::exit(0);
    } catch (const CLI::CallForVersion& version) {
        std::printf("%s\n", version.what());
        std::exit(0);
    } catch (const CLI::ParseError& error) {
        Fail(error.what());
    }
    return args;
}

}  // namespace

int main(int argc, char** argv)
{
    const Arguments args = ParseCommandLine(argc, argv);
    Settings settings = Check(args);

    // Blocked before the serving thread exists, so it inherits the mask and
    // the signals are taken only by sigwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    // Set once the simulator exists, before it serves; read on its thread.
    std::atomic<const plcsim::Simulator*> served{nullptr};
    uint64_t reportedDrops = 0;  // serving thread only
    const auto origin = std::chrono::steady_clock::now();
    if (settings.verbose) {
        settings.options.onRecord = [origin, &served, &reportedDrops](const plcsim::Record& record) {
            std::printf("%s\n", plcsim::FormatRecord(record, origin).c_str());
            const plcsim::Simulator* sim = served.load();
            const uint64_t drops = sim != nullptr ? sim->MirrorDropped() : 0;
            if (drops > reportedDrops) {
                std::printf("mirror: its reader missed %llu bytes, %llu in all\n",
                            static_cast<unsigned long long>(drops - reportedDrops),
                            static_cast<unsigned long long>(drops));
                reportedDrops = drops;
            }
            std::fflush(stdout);
        };
    }

    // Configure refuses what it cannot apply and exits: nothing is served yet.
    std::unique_ptr<plcsim::Simulator> sim;
    try {
        sim = std::make_unique<plcsim::Simulator>(settings.options);
        served = sim.get();
        Configure(*sim, args);
        if (settings.device.empty()) {
            sim->StartPty();
        } else {
            sim->StartDevice(settings.device);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "plcsim: %s\n", error.what());
        return EXIT_LINE;
    }
    std::printf("%s\n", sim->SlavePath().c_str());
    if (!settings.options.mirror.empty())
        std::printf("%s\n", sim->MirrorPath().c_str());
    std::fflush(stdout);

    int signalNumber = 0;
    sigwait(&stopSignals, &signalNumber);
    sim->Stop();
    if (settings.verbose && sim->MirrorDropped() > 0) {
        std::printf("mirror: its reader missed %llu bytes in all\n",
                    static_cast<unsigned long long>(sim->MirrorDropped()));
    }
    return 0;
}
