// The command line as it was written, and the checks of its texts that
// more than one command or option group makes. CLI11 takes the command line
// apart; the checks then read the texts in one fixed order (addresses,
// values, counts, then the options), so that the fault named is the first
// one a reader meets.
#ifndef DAVODEV_FIELDKIT_OPTION_CHECKS_H
#define DAVODEV_FIELDKIT_OPTION_CHECKS_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fieldkit/tool_options.h"

namespace CLI {
class App;
}

namespace kivhost {

constexpr uint32_t COUNT_MAX = 255;  // elements of a run, and values of a write

// Everything as it was written.
struct Given {
    std::string address;                 // parse, read, write
    std::vector<std::string> addresses;  // poll
    std::vector<std::string> values;
    std::string port, baud, format, dataBits, parity, stopBits, timeout;
    std::string library, trace, traceFile;
    std::string type, count, interval, cycles;
    std::string file, gap, late;  // decode, monitor
    std::string simPort;          // demo
    std::string tagFile, tags, maxGap, retryDown, csv, jsonl,
        range;  // poll --tags, scan, stations; csv and jsonl for monitor too
    bool plan = false;
    bool json = false;
    bool block = false;
    bool shared = false;  // monitor
    bool version = false;
};

// A number by the rule both programs read them by (decimal, or hex after 0x).
std::optional<uint32_t> ParseOptionNumber(std::string_view text, uint32_t low, uint32_t high);

bool IsGiven(const CLI::App& app, const std::string& name);

// The message of a value an option does not take.
std::string Bad(const std::string& option, const std::string& value, const std::string& why);

// Each of these takes what it checks into options, or says why not; empty:
// taken.

// The files of the command line that would meet: an output named twice,
// or one naming a file kivhost reads (a tag file); "" when none do.
std::string FileClashes(const Options& options);
// --count, if given.
std::string TakeCount(const Given& given, const CLI::App& app, Options& options);
// Addresses as far as their text shows; the driver's parser says the rest.
std::string TakeAddresses(const std::vector<std::string>& texts, Options& options);
// The one address of parse and read.
std::string OneAddress(const char* command, const Given& given, Options& options);
// --interval and --cycles, if given.
std::string TakeCycles(const Given& given, const CLI::App& app, Options& options);
// --retry-down, if given: of scan's stations and of poll's and scan's port.
std::string TakeRetryDown(const Given& given, const CLI::App& app, Options& options);
// demo's two ports, once --port is taken: its own pseudo-terminal (Linux),
// or --sim-port for the stations and --port for the driver, two ports.
std::string DemoPorts(const Options& options);

}  // namespace kivhost

#endif  // DAVODEV_FIELDKIT_OPTION_CHECKS_H
