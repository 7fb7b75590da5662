// kivhost's command line: subcommands, line options, addresses and values,
// all checked before the driver is loaded or the port is opened; what only
// the driver's parser can tell is checked right after it has spoken, still
// before the port is opened.
//
// A new subcommand is a Command value, one entry in the command table of
// kivhost_options.cpp (its name, help, arguments and options, and how they
// are checked), and its Run function in the table of kivhost_main.cpp; the
// man page and the bash completion name it too (a test holds them to the
// program's help).
#ifndef DAVODEV_KIVHOST_OPTIONS_H
#define DAVODEV_KIVHOST_OPTIONS_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "davodev.h"
#include "kivhost_diag.h"
#include "scan_options.h"

namespace kivhost {

// Exit status of the program.
enum ExitStatus : int {
    EXIT_DONE = 0,
    EXIT_REJECTED = 1,  // the driver refused the request (address, operand)
    EXIT_FAILED = 2,    // line, port or PLC failure, or no driver to load
    EXIT_USAGE = 64,    // the command line itself is wrong
};

enum class Command { Help, Version, Info, Parse, Read, Write, Poll, Scan, Stations, Demo, Decode, Monitor };

// Tag types the host hands the parsers.
enum : uint32_t { TAG_TYPE_WORD = 0, TAG_TYPE_BIT = 6 };

// How --trace shows the driver's traces: off; readable, one line per frame;
// the same with the bytes in hex too; the driver's own printed form.
enum class TraceMode { Off, Text, Hex, Raw };

struct LineOptions {
    std::string port;         // as the driver takes it: at most 11 characters
    std::string portGivenAs;  // as the user wrote it, for messages
    bool portGiven = false;
    uint16_t baud = 9600;
    uint16_t dataBits = 8;
    uint16_t stopBits = 0;        // driver codes: 0 one, 1 one and a half, 2 two
    uint16_t parity = 0;          // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint32_t timeoutUnits = 100;  // 10 ms units
    bool timeoutGiven = false;

    uint32_t TimeoutMs() const { return timeoutUnits * 10; }
    std::string FormatText() const;  // "8N1"
};

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
};

// Either options or the one-line message of a usage error.
struct CommandLine {
    std::optional<Options> options;
    std::string error;
};

CommandLine ParseCommandLine(const std::vector<std::string>& args);

// What an address text names, as far as kivhost needs to know before the
// driver has seen it: the parser remains the authority on validity.
enum class ValueKind { Word, Bit };
ValueKind GuessValueKind(std::string_view address);
bool HasBitDigit(std::string_view address);
// The tag type a host would give the single parser for this address.
uint32_t DefaultTagType(std::string_view address);

// The driver reads the first eight characters of a tag text and ignores a
// bit digit where it means nothing: texts it would read as something else
// than what was typed are refused here. Empty, or why, in one line.
std::string AddressTextProblem(std::string_view address);

// Decimal, or hexadecimal with 0x; 0 to 65535 for words, 0 or 1 for bits.
std::optional<uint16_t> ParseValue(std::string_view text, ValueKind kind);
// Whether the values written fit the address the parser made: a bit (B, A,
// E, or a bit of a W word) is 0 or 1. Empty, or why, in one line.
std::string WriteValuesProblem(const DriverAddress& address, const std::string& text,
                               const std::vector<std::string>& valueTexts, const std::vector<uint16_t>& values);

// Port names as the driver's 12-byte field holds them. A path under /dev
// that is too long is given by its name under /dev, which the Linux driver
// looks for there. Empty on failure, with the reason in error.
std::string DriverPortName(std::string_view name, std::string* error);

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_OPTIONS_H
