#include "sim/plcsim_command_line.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "common/empty_values.h"
#include "davodev_version.h"
#include "sim/line_port.h"

namespace plcsim {
namespace {

constexpr const char* DESCRIPTION = R"(Simulates PLC stations on a serial line. They answer read, write and
set/reset requests and can be told to misbehave. Stop with Ctrl-C (SIGINT),
SIGTERM or SIGHUP; every signal that would end it stops it so, links
removed. SIGUSR1 unplugs the line as a pulled adapter would (the
port on it hangs up; --link is removed); the next SIGUSR1 plugs in a new
pseudo-terminal and moves --link to it.
)";

constexpr const char* WINDOWS_DESCRIPTION = R"(Simulates PLC stations on a serial line: a COM port, e.g. --device COM4.
They answer read, write and set/reset requests and can be told to
misbehave. Stop with Ctrl-C or Ctrl-Break, or by closing its console: the
port is closed in order. Pulling the line out with SIGUSR1 is Linux only.
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
  delay=MS          the reply starts MS milliseconds late; the others
                    answer meanwhile
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

)";

constexpr const char* EXIT_STATUS = R"(Exit status: 0 stopped by a signal; 2 the line could not be served (the
device does not open); 64 a usage error, with one line on standard error
saying what is wrong; 74 standard output, where the path is told, could not
be written.)";

constexpr const char* WINDOWS_EXIT_STATUS = R"(Exit status: 0 stopped by Ctrl-C, Ctrl-Break or the
console closing; 2 the line could not be served (the port does not open);
64 a usage error, with one line on standard error saying what is wrong; 74
standard output, where the port is told, could not be written.)";

// An option takes a value, a repeated one a value each time; a flag none.
using Field = std::variant<bool Arguments::*, std::string Arguments::*, std::vector<std::string> Arguments::*>;

struct OptionRow {
    const char* group;
    const char* name;
    Field field;
    const char* value;  // the value's name in the help; none for a flag
    const char* description;
    bool ptyOnly = false;  // on a pseudo-terminal line only: Linux
};

// In the order of the help.
const OptionRow OPTIONS[] = {
    {"Line", "--pty", &Arguments::pty, "",
     "serve a new pseudo-terminal (the default). The first\n"
     "line printed is the path of its slave side: open that\n"
     "path as the serial port.",
     true},
    {"Line", "--device", &Arguments::device, "PATH",
     "serve a serial device instead, e.g. /dev/ttyUSB0\n"
     "(on Windows a COM port, e.g. COM4).\n"
     "The first line printed is PATH."},
    {"Line", "--link", &Arguments::link, "PATH",
     "also make PATH a symbolic link to the line, removed on\n"
     "exit. Only a dangling symbolic link (or nothing) at\n"
     "PATH is replaced. Keep it short (a port name holds at most 11\n"
     "characters), e.g. /tmp/plc1.",
     true},
    {"Line", "--mirror", &Arguments::mirror, "PATH",
     "a second pseudo-terminal, linked at PATH as --link is,\n"
     "on which every byte of the line appears in time order,\n"
     "requests and replies alike, as a listening adapter on\n"
     "a bus sees them; its path is the second line printed.\n"
     "A reader that is slow or absent never holds the line\n"
     "up: what it cannot take is dropped (-v counts it).",
     true},
    {"Line", "--baud", &Arguments::baud, "N",
     "baud rate (default 9600): of the device, and of the\n"
     "pacing; a standard rate from 50 to 4000000 (9600,\n"
     "19200, 115200, ...). A pseudo-terminal keeps it but\n"
     "does not slow down."},
    {"Line", "--format", &Arguments::format, "DPS",
     "character format in one: data bits 5-8, parity\n"
     "N/E/O/M/S, stop bits 1, 1.5 or 2 (default 8N1).\n"
     "A pseudo-terminal always carries 8N1; the format\n"
     "still sets the pacing."},
    {"Line", "--data-bits", &Arguments::dataBits, "N", "data bits, 5 to 8 (default 8)"},
    {"Line", "--parity", &Arguments::parity, "P",
     "none, odd, even, mark or space, or n, o, e, m, s\n"
     "(default none)"},
    {"Line", "--stop-bits", &Arguments::stopBits, "S", "1, 1.5 or 2 (default 1)"},
    {"Line", "--pace", &Arguments::pace, "",
     "send every reply byte by byte at the time the line's\n"
     "baud rate and format would deliver it (10 bit times\n"
     "per 8N1 character). Requests are read as fast as\n"
     "they come."},
    {"Stations", "--stations", &Arguments::stations, "LIST",
     "the stations on the line, 1 to 32, comma separated\n"
     "(default 1), each once. Requests for other stations\n"
     "get no reply."},
    {"Stations", "--set", &Arguments::sets, "S:ITEM=VALUE",
     "set memory of station S before starting. Repeatable.\n"
     "The address is written as in a tag, in hex:\n"
     "  S:Wnnnn=V      word nnnn to V (0 to 65535)\n"
     "  S:Bnnnn=0|1    bit nnnn\n"
     "  S:Abbbb=0|1    byte bbb (00-1F), bit b (0-7):\n"
     "                 A01F7 is byte 1F, bit 7; A1F,7 too\n"
     "  S:Ebbbb=0|1    the same for E\n"
     "e.g. --set 1:W0010=0x1234 --set 1:A01F7=1"},
    {"Faults", "--fault", &Arguments::faults, "S:FAULT", "a standing fault of station S. Repeatable."},
    {"Faults", "--script", &Arguments::scripts, "S:FAULT:N",
     "only the next N requests to station S get FAULT\n"
     "(each with FAULT's probability). Scripts for one\n"
     "station run one after the other."},
    {"Faults", "--seed", &Arguments::seed, "N",
     "seed for every random choice (default 1): the same\n"
     "seed and the same requests give the same faults."},
    {"Output", "-v,--verbose", &Arguments::verbose, "",
     "print every request (rx) and reply (tx), one a line:\n"
     "seconds since start, rx/tx, station, the bytes with CR\n"
     "as \\r, [faults applied] and (why no reply); and what\n"
     "the mirror's reader missed."},
};

// What reads otherwise on Windows, where the line is a COM port.
struct WindowsRow {
    const char* name;
    const char* value;
    const char* description;
};
const WindowsRow WINDOWS_ROWS[] = {
    {"--device", "PORT",
     "the COM port to serve, e.g. COM4 (COM10 and above\n"
     "too); needed, as Windows has no pseudo-terminals.\n"
     "The first line printed is PORT."},
    {"--baud", "N",
     "baud rate (default 9600): of the port, and of the\n"
     "pacing; any rate the port's driver takes (9600,\n"
     "19200, 115200, ...): it says so when the port opens."},
};

// The row's value name and description as this platform's help shows them.
std::pair<const char*, std::string> Shown(const OptionRow& row)
{
    if (HAS_PSEUDO_TERMINALS)
        return {row.value, row.description};
    for (const WindowsRow& windows : WINDOWS_ROWS) {
        if (std::string_view(windows.name) == row.name)
            return {windows.value, windows.description};
    }
    return {row.value, row.ptyOnly ? "Linux only: needs a pseudo-terminal, which\nWindows has not" : row.description};
}

void Describe(CLI::App& app, Arguments& args)
{
    for (const OptionRow& row : OPTIONS) {
        // Named copies, not a structured binding: the lambdas below capture them.
        const auto shown = Shown(row);
        const char* const value = shown.first;
        const std::string& description = shown.second;
        const auto describe = [&](CLI::Option* option) {
            if (*value != '\0')
                option->option_text(value)->type_name(value);
            option->group(row.group);
        };
        std::visit(
            [&](auto field) {
                auto& target = args.*field;
                if constexpr (std::is_same_v<decltype(field), bool Arguments::*>) {
                    describe(app.add_flag(row.name, target, description));
                } else if constexpr (std::is_same_v<decltype(field), std::string Arguments::*>) {
                    describe(app.add_option(row.name, target, description));
                } else {
                    describe(app.add_option(row.name, target, description)->allow_extra_args(false));
                }
            },
            row.field);
    }
    kivhost::RefuseEmptyValues(app);
    app.set_version_flag("--version", "plcsim " + std::string(kiv::VERSION), "plcsim's version")->group("Output");
    app.set_help_flag("-h,--help", "this text")->group("Output");
}

}  // namespace

void Fail(const std::string& message)
{
    std::fprintf(stderr, "plcsim: %s (try --help)\n", message.c_str());
    std::exit(EXIT_USAGE);
}

void Refuse(const std::string& message)
{
    std::fprintf(stderr, "plcsim: %s\n", message.c_str());
    std::exit(EXIT_USAGE);
}

Arguments ParseCommandLine(int argc, char** argv)
{
    CLI::App app(HAS_PSEUDO_TERMINALS ? DESCRIPTION : WINDOWS_DESCRIPTION, "plcsim");
    app.footer(std::string(FOOTER) + (HAS_PSEUDO_TERMINALS ? EXIT_STATUS : WINDOWS_EXIT_STATUS));
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

}  // namespace plcsim
