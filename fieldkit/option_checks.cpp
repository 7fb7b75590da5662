#include "fieldkit/option_checks.h"

#include <CLI/CLI.hpp>

#include <cctype>

#include "common/number_rules.h"
#include "common/output_file.h"
#include "hosting/port_name.h"

namespace kivhost {
namespace {

constexpr uint32_t INTERVAL_MAX_MS = 3600000;

}  // namespace

std::optional<uint32_t> ParseOptionNumber(std::string_view text, uint32_t low, uint32_t high)
{
    const auto value = ParseNumber(text, low, high);
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

std::string FileClashes(const Options& options)
{
    struct Named {
        const char* name;
        const std::string& path;
    };
    const bool scan = options.command == Command::Scan;
    const bool monitor = options.command == Command::Monitor;
    const std::string none;
    const Named outputs[] = {
        {"--trace-file", options.traceFile},
        {"--csv", scan      ? options.scan.csvPath
                  : monitor ? options.monitor.csv
                            : none},
        {"--jsonl", scan      ? options.scan.jsonlPath
                    : monitor ? options.monitor.jsonl
                              : none},
    };
    const Named inputs[] = {
        {"the tag file", scan ? options.scan.tagFile : none},
        {"the --tags file", options.command == Command::Poll ? options.pollTags : none},
    };
    for (size_t i = 0; i < std::size(outputs); ++i) {
        if (outputs[i].path.empty())
            continue;
        for (size_t j = i + 1; j < std::size(outputs); ++j)
            if (!outputs[j].path.empty() && SameFile(outputs[i].path, outputs[j].path))
                return std::string(outputs[i].name) + " and " + outputs[j].name + " name the same file, " +
                       outputs[j].path + ": each output needs a file of its own";
        for (const Named& input : inputs)
            if (!input.path.empty() && SameFile(outputs[i].path, input.path))
                return std::string(outputs[i].name) + " names " + input.name + ", " + input.path +
                       ": it would be written into; give the output a file of its own";
    }
    return {};
}

std::string TakeCount(const Given& given, const CLI::App& app, Options& options)
{
    if (!IsGiven(app, "--count"))
        return {};
    const auto count = ParseOptionNumber(given.count, 1, COUNT_MAX);
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

std::string TakeCycles(const Given& given, const CLI::App& app, Options& options)
{
    if (IsGiven(app, "--interval")) {
        const auto ms = ParseOptionNumber(given.interval, 0, INTERVAL_MAX_MS);
        if (!ms)
            return Bad("--interval", given.interval, "give milliseconds between cycles, 0 to 3600000, e.g. 500");
        options.intervalMs = *ms;
    }
    if (IsGiven(app, "--cycles")) {
        const auto cycles = ParseOptionNumber(given.cycles, 0, UINT32_MAX);
        if (!cycles)
            return Bad("--cycles", given.cycles, "give a number of cycles, or 0 to run until Ctrl-C");
        options.cycles = *cycles;
    }
    return {};
}

std::string TakeRetryDown(const Given& given, const CLI::App& app, Options& options)
{
    if (!IsGiven(app, "--retry-down"))
        return {};
    std::string why;
    const auto seconds = ParseRetryDown(given.retryDown, &why);
    if (!seconds)
        return why;
    options.scan.retryDownS = *seconds;
    return {};
}

std::string DemoPorts(const Options& options)
{
    if (options.simPort.empty()) {
#if defined(_WIN32)
        return "demo on Windows needs two COM ports joined by a null-modem cable, the simulated stations on one and "
               "the driver on the other: two USB serial adapters and a cable, or a pair of virtual COM ports; then "
               "kivhost --port COM3 demo --sim-port COM4";
#else
        if (options.line.portGiven)
            return "demo runs its own simulated stations; leave out --port, or add --sim-port for the port joined "
                   "to it that the stations answer on";
        return {};
#endif
    }
    if (!options.line.portGiven)
        return "demo --sim-port " + options.simPort +
               " serves the stations there; give the port joined to it for the driver too, e.g. --port COM3";
    std::string error;
    const std::string stations = DriverPortName(options.simPort, &error);
    if (stations.empty())
        return "--sim-port: " + error;
    // Windows takes com4 for COM4; Linux names are as they are written.
    const auto upper = [](std::string name) {
#if defined(_WIN32)
        for (char& c : name)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
#endif
        return name;
    };
    if (upper(stations) == upper(options.line.port))
        return "--sim-port and --port name one port, " + options.simPort +
               "; the stations and the driver need one each, joined by a null-modem cable";
    return {};
}

}  // namespace kivhost
