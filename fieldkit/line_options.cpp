#include "fieldkit/program_options.h"

#include <CLI/CLI.hpp>

#include "common/line_settings.h"
#include "common/number_rules.h"
#include "fieldkit/help_groups.h"
#include "hosting/port_name.h"

namespace kivhost {
namespace {

constexpr uint32_t TIMEOUT_MIN_MS = 10;
constexpr uint32_t TIMEOUT_MAX_MS = 60000;

}  // namespace

void DeclareLineOptions(CLI::App& app, Given& given)
{
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
        const auto baud = ParseOptionNumber(given.baud, 50, 65535);
        if (!baud)
            return Bad("--baud", given.baud, "the driver takes 50 to 65535 bits per second, e.g. 9600 or 19200");
        line.baud = static_cast<uint16_t>(*baud);
    }
    // --format and the separate options may both be given where they agree, by plcsim's rule.
    FormatRefusal refusal;
    const auto format = TakeCharFormat({given.format, given.dataBits, given.parity, given.stopBits}, &refusal);
    if (!format)
        return refusal.disagrees ? refusal.why : Bad(refusal.option, refusal.value, refusal.why);
    // The driver's codes: parity 0 none, 1 odd, 2 even, 3 mark, 4 space; stop
    // bits 0 one, 1 one and a half, 2 two.
    line.dataBits = static_cast<uint16_t>(format->dataBits);
    line.parity = static_cast<uint16_t>(std::string_view(PARITY_LETTERS).find(format->parity));
    line.stopBits = format->stopBits < 1.25 ? 0 : format->stopBits < 1.75 ? 1 : 2;
    if (IsGiven(app, "--timeout")) {
        const auto ms = ParseOptionNumber(given.timeout, TIMEOUT_MIN_MS, TIMEOUT_MAX_MS);
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

}  // namespace kivhost
