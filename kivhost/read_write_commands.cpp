// kivhost read and write: one exchange each, SingleRead or BlockRead,
// SingleWrite or BlockWrite, with the steps around it shared.
#include <cstdio>
#include <functional>

#include "common/tool_text.h"
#include "fieldkit/exchange_text.h"
#include "fieldkit/value_text.h"
#include "hosting/judged_exchange.h"
#include "kivhost/kivhost_commands.h"
#include "wire/address_area.h"

namespace kivhost {
namespace {

// What read and write do apart; the steps around them are RunExchange's.
struct ExchangeCommand {
    const char* stage;                     // the driver's call, e.g. "BlockRead"
    int32_t count;                         // elements of the run
    const std::vector<uint16_t>* written;  // nullptr: a read
    // The command's own fields of the document, after "ms", if any.
    std::function<void(JsonObject& json, const DriverAddress& address, const std::vector<uint16_t>& values)> json;
    // A good exchange for people: its lines, then what was done, to which
    // the time and the attempts are added.
    std::function<std::string(FILE* out, const DriverAddress& address, const std::vector<uint16_t>& values)> print;
};

// The channel started, the address parsed and checked, the line opened; the
// exchange; the driver ended; then the document or the lines, and the status.
int RunExchange(Context& context, JsonObject json, const ExchangeCommand& command)
{
    const Options& options = context.options;
    const std::string& text = options.addresses.front();
    DriverAddress address{};
    if (int status = StartChannel(context, json); status != EXIT_DONE)
        return status;
    if (int status = ParseForIo(context, text, command.count, command.written, &address, json); status != EXIT_DONE)
        return status;
    if (int status = OpenLine(context, json); status != EXIT_DONE)
        return status;
    std::vector<uint16_t> values;  // read
    const bool write = command.written != nullptr;
    const JudgedExchange done = write ? JudgedWrite(context.session, context.reporter, address, *command.written)
                                      : JudgedRead(context.session, context.reporter, address, command.count, &values);
    const int32_t result = done.result;
    const double ms = done.ms;
    const ExchangeReport& report = done.report;
    context.session.End();
    const bool good = ExchangeGood(result, report);
    const std::string failure =
        good ? "" : ExchangeFailure(address, text, write, result, report, options.line.TimeoutMs());
    if (report.checksumUnused >= 0)
        Tell(ChecksumNotice(report.checksumUnused));

    if (options.json) {
        ResultJson(json.Text("stage", command.stage), result).Ms("ms", ms);
        if (command.json)
            command.json(json, address, values);
        Emit(context, ExchangeJson(json, result, report, failure));
    } else if (good) {
        FILE* out = context.output.Results();
        const std::string done = command.print(out, address, values);
        std::fprintf(out, "%s in %s%s\n", done.c_str(), Ms(ms).c_str(), AttemptsClause(report).c_str());
        PrintNotes(out, report);
        std::fflush(out);
    }
    // A reply the driver took but kivhost doubts is a failure on the line.
    return Conclude(good || result != SUCCESS ? result : RECOVERY_ERROR, failure);
}

}  // namespace

int RunRead(Context& context)
{
    const Options& options = context.options;
    const int32_t count = options.count;
    const char* name = count == 1 ? "SingleRead" : "BlockRead";
    JsonObject json;
    json.Text("command", "read").Text("address", options.addresses.front()).Number("count", count);
    const ExchangeCommand read{
        name,
        count,
        nullptr,
        [](JsonObject& fields, const DriverAddress& address, const std::vector<uint16_t>& values) {
            std::vector<std::string> addresses;
            for (size_t i = 0; i < values.size(); ++i)
                addresses.push_back(ElementAddress(address, static_cast<int>(i)));
            fields.Texts("addresses", addresses).Values("values", values);
        },
        [name, count](FILE* out, const DriverAddress& address, const std::vector<uint16_t>& values) {
            const bool words = IsWordAddress(address);
            std::fprintf(out, words ? "Address     Value  Hex\n" : "Address    Value\n");
            for (size_t i = 0; i < values.size(); ++i) {
                const std::string at = ElementAddress(address, static_cast<int>(i));
                if (words)
                    std::fprintf(out, "%-9s %6u  0x%04X\n", at.c_str(), static_cast<unsigned>(values[i]),
                                 static_cast<unsigned>(values[i]));
                else
                    std::fprintf(out, "%-9s  %u\n", at.c_str(), static_cast<unsigned>(values[i]));
            }
            const char* unit = words ? (count == 1 ? "word" : "words") : (count == 1 ? "bit" : "bits");
            return std::string(name) + " of " + std::to_string(count) + " " + unit + " from station " +
                   StationText(address.station);
        },
    };
    return RunExchange(context, json, read);
}

int RunWrite(Context& context)
{
    const Options& options = context.options;
    const std::vector<uint16_t>& written = options.values;
    const char* name = written.size() == 1 ? "SingleWrite" : "BlockWrite";
    JsonObject json;
    json.Text("command", "write").Text("address", options.addresses.front()).Values("values", written);
    const ExchangeCommand write{
        name,
        static_cast<int32_t>(written.size()),
        &written,
        nullptr,
        [name, &written](FILE* out, const DriverAddress& address, const std::vector<uint16_t>&) {
            if (address.operand == 'W' && address.bit != NO_BIT) {
                std::fprintf(out, "%s: bit %d %s (set/reset frame)\n", ElementAddress(address, 0).c_str(),
                             static_cast<int>(address.bit), written.front() & 1 ? "set" : "reset");
            } else {
                for (size_t i = 0; i < written.size(); ++i)
                    std::fprintf(out, "%-9s <- %s\n", ElementAddress(address, static_cast<int>(i)).c_str(),
                                 FormatValue(address, written[i]).c_str());
            }
            return std::string(name) + " to station " + StationText(address.station) + " acknowledged";
        },
    };
    return RunExchange(context, json, write);
}

}  // namespace kivhost
