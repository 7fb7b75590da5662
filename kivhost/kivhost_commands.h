// kivhost's subcommands, each a host's run from GetKivInfo to EndKiv.
#ifndef DAVODEV_KIVHOST_COMMANDS_H
#define DAVODEV_KIVHOST_COMMANDS_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "exchange_report.h"
#include "json_object.h"
#include "kivhost_options.h"
#include "session.h"
#include "stop_signals.h"

namespace kivhost {

struct Context {
    const Options& options;
    Session& session;
    DriverOutput& output;
    std::string library;
    ExchangeReporter reporter{};  // the checksums of each station's replies, over the whole run
};

int RunVersion(Context& context);  // the driver's half: kivhost's own line comes first
int RunInfo(Context& context);
int RunParse(Context& context);
int RunRead(Context& context);
int RunWrite(Context& context);
int RunPoll(Context& context);
#if !defined(_WIN32)
int RunDemo(Context& context);  // the simulated stations run on Linux only
#endif

// The one-line message of a failed run, on standard error; returns status.
int Complain(int status, const std::string& message);

// Shared by the commands and the demo.
bool IsWordAddress(const DriverAddress& address);
std::string FormatValue(const DriverAddress& address, uint16_t value);  // 0x1234, or 0 / 1
std::string BannerUtf8(const DriverInfoBlock& info);
std::string AddressJson(const DriverAddress& address);
// What a failed read or write means, for the one-line message.
std::string ExchangeFailure(const DriverAddress& address, const std::string& text, bool write, int32_t result,
                            const ExchangeReport& report, uint32_t timeoutMs);

// The steps every talking command begins with. EXIT_DONE, or the status to
// leave with, explained on standard error (and in json with --json) and the
// driver ended. StartChannel: GetKivInfo and ColdStart with the port left
// closed, for the parsers; OpenLine: the port checked and opened.
int StartChannel(Context& context, const JsonObject& json);
int OpenLine(Context& context, const JsonObject& json);
// Whether the results go to a terminal that can redraw in place.
bool CanRedraw(DriverOutput& output);

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_COMMANDS_H
