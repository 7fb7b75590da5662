// plcsim: PLC stations on a pseudo-terminal or a serial device.
#include <pthread.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "davodev_version.h"
#include "pcon_station.h"
#include "plc_simulator.h"

namespace {

constexpr const char* HELP = R"(Usage: plcsim [options]

Simulates PLC stations on a serial line. They answer read, write and
set/reset requests and can be told to misbehave. Stop with Ctrl-C (SIGINT),
SIGTERM or SIGHUP.

Line:
  --pty               serve a new pseudo-terminal (the default). The first
                      line printed is the path of its slave side: open that
                      path as the serial port.
  --device PATH       serve a serial device instead, e.g. /dev/ttyUSB0.
                      The first line printed is PATH.
  --link PATH         also make PATH a symbolic link to the line, removed on
                      exit. Keep it short (a port name holds at most 11
                      characters), e.g. /tmp/plc1.
  --baud N            baud rate (default 9600): of the device, and of the
                      pacing. A pseudo-terminal keeps it but does not slow down.
  --format DPS        character format: data bits 5-8, parity N/E/O, stop
                      bits 1-2 (default 8N1). A pseudo-terminal always
                      carries 8N1; the format still sets the pacing.
  --pace              send every reply byte by byte at the time the line's
                      baud rate and format would deliver it (10 bit times per
                      8N1 character). Requests are read as fast as they come.

Stations (numbers are decimal, or hex with 0x: 0x20 is station 32):
  --stations LIST     the stations on the line, comma separated (default 1).
                      Requests for other stations get no reply.
  --set S:ITEM=VALUE  set memory of station S before starting. Repeatable.
                        S:Wnnnn=hhhh   word nnnn (hex) to hhhh (hex)
                        S:Bnnnn=0|1    bit nnnn (hex)
                        S:Abb,b=0|1    byte bb (hex 00-1F), bit b (0-7)
                        S:Ebb,b=0|1    the same for E
                      e.g. --set 1:W0010=1234 --set 1:A1F,7=1

Faults (FAULT is NAME[=VALUE][@PROBABILITY]; PROBABILITY 0 to 1, default 1):
  --fault S:FAULT     a standing fault of station S. Repeatable.
  --script S:FAULT:N  only the next N requests to station S get FAULT.
                      Scripts for one station run one after the other.
  --seed N            seed for every random choice (default 1): the same
                      seed and the same requests give the same faults.
  Names:
    silent            the request is not heard: not executed, no reply
    drop=P            executed, but the reply is lost with probability P
    wrong[=S]         the reply names station S (default: the addressed + 1)
    nak[=C]           the reply has C at position 1 instead of "A" (default N)
    truncate[=K]      only the first K characters of the reply (default 5)
    extra[=N]         N junk bytes after the reply (default 3)
    noise[=N]         N junk bytes before the reply (default 3)
    delay=MS          the reply starts MS milliseconds late
    split[=N[/MS]]    the reply in N pieces (default 2), MS ms apart (default 20)
    corrupt           one data character damaged: a word digit becomes "G",
                      a bit character flips; the checksum is not fixed
    pace              this station's replies paced, as --pace
  e.g. --fault 2:drop=0.3 --fault 1:delay=200 --script 1:silent:3

Output:
  -v, --verbose       print every request (rx) and reply (tx), one a line:
                      seconds since start, rx/tx, station, the bytes with CR
                      as \r, [faults applied] and (why no reply).
  --version           plcsim's version.
  -h, --help          this text.

Requests and replies (checksum: sum of the character codes after "/", mod 256,
two hex digits; CR ends every frame):
  read      /01RW0010022D      ->  /A01RW<4 hex digits per word>cc
  write     /01SW0010011234F7  ->  /A01SWcc
  set bit   /01X100105s53      ->  /A01X1cc
)";

[[noreturn]] void Fail(const std::string& message)
{
    std::fprintf(stderr, "plcsim: %s (try --help)\n", message.c_str());
    std::exit(2);
}

int ParseNumber(std::string_view text, const std::string& what)
{
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        base = 16;
        text.remove_prefix(2);
    }
    std::string digits(text);
    char* end = nullptr;
    const long value = digits.empty() ? -1 : std::strtol(digits.c_str(), &end, base);
    if (digits.empty() || *end != '\0' || value < 0 || value > 0x7FFFFFFF)
        Fail("bad " + what + ": " + digits);
    return static_cast<int>(value);
}

int ParseHex(std::string_view text, size_t maxDigits, const std::string& what)
{
    if (text.empty() || text.size() > maxDigits)
        Fail("bad " + what + ": " + std::string(text));
    return ParseNumber("0x" + std::string(text), what);
}

std::vector<int> ParseStations(std::string_view text)
{
    std::vector<int> stations;
    while (!text.empty()) {
        const size_t comma = text.find(',');
        stations.push_back(ParseNumber(text.substr(0, comma), "station"));
        if (comma == std::string_view::npos)
            break;
        text.remove_prefix(comma + 1);
    }
    if (stations.empty())
        Fail("no stations");
    return stations;
}

// Splits "S:REST" into the station and the rest.
std::pair<int, std::string> StationAndRest(std::string_view text, const std::string& what)
{
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos)
        Fail("bad " + what + ": " + std::string(text));
    return {ParseNumber(text.substr(0, colon), "station"), std::string(text.substr(colon + 1))};
}

void ApplySet(plcsim::Simulator& sim, std::string_view text)
{
    const auto [station, item] = StationAndRest(text, "--set");
    const size_t eq = item.find('=');
    if (item.size() < 2 || eq == std::string::npos)
        Fail("bad --set: " + std::string(text));
    const char operand = item[0];
    const std::string address = item.substr(1, eq - 1);
    const std::string value = item.substr(eq + 1);
    if (!sim.HasStation(station))
        Fail("--set for a station not on the line: " + std::string(text));
    if (operand == 'W') {
        sim.SetWord(station, ParseHex(address, 4, "word number"), ParseHex(value, 4, "word value"));
        return;
    }
    if (value != "0" && value != "1")
        Fail("a bit is 0 or 1: " + std::string(text));
    if (operand == 'B') {
        sim.SetBit(station, 'B', ParseHex(address, 4, "bit number"), value == "1");
        return;
    }
    if (operand != 'A' && operand != 'E')
        Fail("unknown operand in --set: " + std::string(text));
    if (address.size() != 4 || address[2] != ',')
        Fail("A and E are written bb,b: " + std::string(text));
    const int byte = ParseHex(address.substr(0, 2), 2, "byte");
    const int bit = ParseHex(address.substr(3), 1, "bit");
    if (byte >= plcsim::BYTE_BIT_BYTES || bit > 7)
        Fail("no such bit: " + std::string(text));
    sim.SetBit(station, operand, byte << 4 | bit, value == "1");
}

plcsim::Fault ParseFaultOrFail(const std::string& text)
{
    const auto fault = plcsim::ParseFault(text);
    if (!fault)
        Fail("bad fault: " + text);
    return *fault;
}

struct Settings {
    plcsim::Options options;
    std::string device;
    bool verbose = false;
    std::vector<std::string> sets;
    std::vector<std::string> faults;
    std::vector<std::string> scripts;
};

Settings ParseArguments(int argc, char** argv)
{
    Settings settings;
    std::vector<std::string> args(argv + 1, argv + argc);
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::string inlineValue;
        bool hasInline = false;
        if (arg.starts_with("--")) {
            if (const size_t eq = arg.find('='); eq != std::string::npos) {
                inlineValue = arg.substr(eq + 1);
                arg.resize(eq);
                hasInline = true;
            }
        }
        const auto value = [&]() -> std::string {
            if (hasInline)
                return inlineValue;
            if (i + 1 >= args.size())
                Fail(arg + " needs a value");
            return args[++i];
        };
        if (arg == "-h" || arg == "--help") {
            std::fputs(HELP, stdout);
            std::exit(0);
        } else if (arg == "--version") {
            std::printf("plcsim %.*s\n", static_cast<int>(kiv::VERSION.size()), kiv::VERSION.data());
            std::exit(0);
        } else if (arg == "-v" || arg == "--verbose") {
            settings.verbose = true;
        } else if (arg == "--pty") {
            settings.device.clear();
        } else if (arg == "--device") {
            settings.device = value();
        } else if (arg == "--link") {
            settings.options.link = value();
        } else if (arg == "--baud") {
            settings.options.baud = ParseNumber(value(), "baud rate");
        } else if (arg == "--format") {
            const std::string text = value();
            const auto format = plcsim::ParseCharFormat(text);
            if (!format)
                Fail("bad format: " + text);
            settings.options.format = *format;
        } else if (arg == "--pace") {
            settings.options.pace = true;
        } else if (arg == "--stations") {
            settings.options.stations = ParseStations(value());
        } else if (arg == "--set") {
            settings.sets.push_back(value());
        } else if (arg == "--fault") {
            settings.faults.push_back(value());
        } else if (arg == "--script") {
            settings.scripts.push_back(value());
        } else if (arg == "--seed") {
            settings.options.seed = static_cast<uint32_t>(ParseNumber(value(), "seed"));
        } else {
            Fail("unknown option " + arg);
        }
    }
    return settings;
}

void Configure(plcsim::Simulator& sim, const Settings& settings)
{
    for (const auto& text : settings.sets)
        ApplySet(sim, text);
    for (const auto& text : settings.faults) {
        const auto [station, fault] = StationAndRest(text, "--fault");
        if (!sim.HasStation(station))
            Fail("--fault for a station not on the line: " + text);
        sim.SetFault(station, ParseFaultOrFail(fault));
    }
    for (const auto& text : settings.scripts) {
        const auto [station, rest] = StationAndRest(text, "--script");
        const size_t colon = rest.rfind(':');
        if (colon == std::string::npos)
            Fail("bad --script (S:FAULT:N): " + text);
        if (!sim.HasStation(station))
            Fail("--script for a station not on the line: " + text);
        sim.ScriptFault(station, ParseFaultOrFail(rest.substr(0, colon)),
                        ParseNumber(rest.substr(colon + 1), "request count"));
    }
}

}  // namespace

int main(int argc, char** argv)
{
    Settings settings = ParseArguments(argc, argv);

    // Blocked before the serving thread exists, so it inherits the mask and
    // the signals are taken only by sigwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    const auto origin = std::chrono::steady_clock::now();
    if (settings.verbose) {
        settings.options.onRecord = [origin](const plcsim::Record& record) {
            std::printf("%s\n", plcsim::FormatRecord(record, origin).c_str());
            std::fflush(stdout);
        };
    }

    // The driver's port name holds at most 11 characters.
    if (settings.options.link.size() > 11) {
        std::fprintf(stderr, "plcsim: note: %s is longer than a port name can be (11 characters)\n",
                     settings.options.link.c_str());
    }

    try {
        plcsim::Simulator sim(settings.options);
        Configure(sim, settings);
        if (settings.device.empty()) {
            sim.StartPty();
        } else {
            sim.StartDevice(settings.device);
        }
        std::printf("%s\n", sim.SlavePath().c_str());
        std::fflush(stdout);

        int signalNumber = 0;
        sigwait(&stopSignals, &signalNumber);
        sim.Stop();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "plcsim: %s\n", error.what());
        return 1;
    }
    return 0;
}
