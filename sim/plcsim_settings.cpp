#include "sim/plcsim_settings.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <utility>
#include <vector>

#include "common/line_settings.h"
#include "common/number_rules.h"
#include "sim/line_port.h"
#include "sim/pcon_station.h"

namespace plcsim {
namespace {

constexpr size_t PORT_NAME_MAX = 11;  // what the driver's port name holds

// context names the option and its whole argument, of which text is a part.
int64_t Number(const std::string& context, const std::string& text, int64_t low, int64_t high)
{
    std::string why;
    const auto value = ParseNumber(text, low, high, &why);
    if (!value)
        Fail(context + ": " + why);
    return *value;
}

int Station(const std::string& option, const std::string& argument, std::string_view text)
{
    std::string why;
    const auto station = ParseStation(text, &why);
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
        const int station = Station("--stations", text, rest.substr(0, comma));
        // A second station of one number would only ever answer for the first.
        if (std::find(stations.begin(), stations.end(), station) != stations.end())
            Fail("--stations " + text + ": station " + std::to_string(station) + " is listed twice");
        stations.push_back(station);
        if (comma == std::string_view::npos)
            break;
        rest.remove_prefix(comma + 1);
    }
    return stations;
}

// Splits "S:REST" into the station, which must be on the line, and the rest.
std::pair<int, std::string> StationAndRest(const Simulator& sim, const std::string& option, const std::string& text,
                                           const char* form)
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

void ApplySet(Simulator& sim, const std::string& text)
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
    if (ByteBitIndex(number) < 0)
        Fail("--set " + text + ": no such bit; bytes are 00 to 1F, bits 0 to 7");
    sim.SetBit(station, operand, number, value == "1");
}

Fault FaultOf(const std::string& option, const std::string& argument, const std::string& text)
{
    std::string why;
    const auto fault = ParseFault(text, &why);
    if (!fault)
        Fail(option + " " + argument + ": " + why);
    return *fault;
}

// Where --format and the separate options both speak, they must agree:
// kivhost's rule.
void ApplyFormat(const Arguments& args, CharFormat& format)
{
    kivhost::FormatRefusal refusal;
    const auto taken = kivhost::TakeCharFormat({args.format, args.dataBits, args.parity, args.stopBits}, &refusal);
    if (!taken)
        Fail(refusal.disagrees ? refusal.why : refusal.option + " " + refusal.value + ": " + refusal.why);
    format = *taken;
}

void CheckLink(const std::string& option, const std::string& path)
{
    const std::string refusal = LinkRefusal(path);
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

// Where there are no pseudo-terminals (Windows) the line is a COM port or
// nothing: the options of a pseudo-terminal line are refused, and so is a
// command line without --device, which has no pseudo-terminal to fall back on.
void RefusePtyOptions(const Arguments& args)
{
    const char* option = args.pty               ? "--pty"
                         : !args.link.empty()   ? "--link"
                         : !args.mirror.empty() ? "--mirror"
                                                : nullptr;
    const std::string instead = "serve a COM port with --device COM4 (see INSTALL.txt for a pair of ports)";
    if (option != nullptr)
        Refuse(std::string(option) + " needs a pseudo-terminal, which Windows has not; " + instead);
    if (args.device.empty())
        Refuse("a line needs a port, and Windows has no pseudo-terminal to serve instead; " + instead);
}

}  // namespace

Settings Check(const Arguments& args)
{
    Settings settings;
    Options& options = settings.options;
    if (!HAS_PSEUDO_TERMINALS)
        RefusePtyOptions(args);
    if (args.pty && !args.device.empty())
        Fail("--pty and --device " + args.device + ": a line is one or the other");
    settings.device = args.device;
    settings.verbose = args.verbose;
    if (!args.baud.empty()) {
        options.baud = static_cast<int>(Number("--baud " + args.baud, args.baud, 1, 4000000));
        if (!SettableRate(static_cast<uint32_t>(options.baud)))
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

void Configure(Simulator& sim, const Arguments& args)
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
        const Fault fault = FaultOf("--script", text, rest.substr(0, colon));
        const std::string count = rest.substr(colon + 1);
        sim.ScriptFault(station, fault, static_cast<int>(Number("--script " + text, count, 1, INT32_MAX)));
    }
}

}  // namespace plcsim
