#include "kivhost_commands.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>

#include "address_area.h"
#include "kivhost_hint.h"
#include "kivhost_scan.h"
#include "port_check.h"
#include "stop_signals.h"
#include "tool_text.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif
#else
#include <time.h>
#endif

namespace kivhost {

// Cursor movement for the live poll table; Windows consoles need it switched on.
bool CanRedraw(DriverOutput& output)
{
    if (!output.ResultsOnTerminal())
        return false;
#if defined(_WIN32)
    HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(fileno(output.Results())));
    DWORD mode = 0;
    return GetConsoleMode(console, &mode) && SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
#else
    return true;
#endif
}

namespace {

std::string Printf(const char* format, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// Exchanges over a short line take well under a millisecond.
std::string Ms(double ms)
{
    return Printf(ms < 10 ? "%.2f ms" : "%.0f ms", ms);
}

const char* ParserName(bool block)
{
    return block ? "BlockAddressParser" : "SingleAddressParser";
}

const char* ReadName(int32_t count)
{
    return count == 1 ? "SingleRead" : "BlockRead";
}

const char* WriteName(size_t count)
{
    return count == 1 ? "SingleWrite" : "BlockWrite";
}

// Asks the parser about variants of the request, so before EndKiv.
std::string ParseRejection(Session& session, const std::string& text, bool block, uint32_t tagType, int32_t count)
{
    const AddressParser probe = [&session](const std::string& variant, bool variantBlock, uint32_t variantType,
                                           int32_t variantCount, DriverAddress* address) {
        return session.ProbeParse(variant, variantBlock, variantType, variantCount, address);
    };
    return "the driver rejects address \"" + text + "\" (" + ParserName(block) + ", tag type " +
           std::to_string(tagType) + ", count " + std::to_string(count) +
           "): " + RejectionHint(probe, text, block, tagType, count);
}

int StatusOf(int32_t result)
{
    return result == SUCCESS ? EXIT_DONE : result == REJECTED ? EXIT_REJECTED : EXIT_FAILED;
}

// A result document, stamped with the time it was made.
void Emit(Context& context, JsonObject json)
{
    json.Text("time", UtcTimestamp());
    std::fprintf(context.output.Results(), "%s\n", json.Done().c_str());
    std::fflush(context.output.Results());
}

// The one line on standard error and, for scripts, the document that led to
// it with the same line in it.
// A failure before any exchange: reason is "driver" (GetKivInfo), "rejected"
// (by the parser), "check" (a run or value that cannot be sent) or "port".
int Fail(Context& context, JsonObject json, int status, const char* reason, const std::string& message)
{
    if (context.options.json)
        Emit(context, json.Text("reason", reason).Number("attempts", 0).Text("message", message));
    return Complain(status, message);
}

std::string LogJson(const std::vector<LogLine>& lines)
{
    std::string out = "[";
    for (const LogLine& line : lines) {
        if (out.size() > 1)
            out += ",";
        out += JsonObject().Number("level", line.level).Text("text", Cp437ToUtf8(line.text)).Done();
    }
    return out + "]";
}

std::string NoDriverMessage(const Context& context, int32_t result)
{
    return "GetKivInfo returned " + ResultName(result) + "; is " + context.library +
           " the DAVODEV driver? Give --lib PATH";
}

}  // namespace

// GetKivInfo, then ColdStart with the port left closed: the parsers need no
// more, and nothing can fail on the line yet.
int StartChannel(Context& context, const JsonObject& json)
{
    DriverInfoBlock info{};
    const int32_t result = context.session.GetInfo(&info);
    if (result != SUCCESS) {
        context.session.End();
        return Fail(
            context,
            JsonObject(json).Text("stage", "GetKivInfo").Number("result", result).Text("status", ResultName(result)),
            EXIT_FAILED, "driver", NoDriverMessage(context, result));
    }
    context.session.ColdStart(context.options.line, false);
    return EXIT_DONE;
}

namespace {

// The address through the parser a host would use for this count; then what
// only the parser's answer lets kivhost check: that the run stays in its
// area, and that the values to write fit it.
int ParseForIo(Context& context, const std::string& text, int32_t count, const std::vector<uint16_t>* values,
               DriverAddress* address, const JsonObject& json)
{
    const bool block = count != 1;
    const uint32_t tagType = DefaultTagType(text);
    const int32_t result = context.session.Parse(text, block, tagType, count, address);
    if (result != SUCCESS) {
        const std::string rejection = ParseRejection(context.session, text, block, tagType, count);
        context.session.End();
        return Fail(context,
                    JsonObject(json)
                        .Text("stage", ParserName(block))
                        .Number("result", result)
                        .Text("status", ResultName(result)),
                    StatusOf(result), result == REJECTED ? "rejected" : "driver", rejection);
    }
    std::string why;
    if (!RunFitsArea(*address, count, &why))
        why += "; nothing was sent";
    else if (values != nullptr)
        why = WriteValuesProblem(*address, text, context.options.valueTexts, *values);
    else
        why.clear();
    if (why.empty())
        return EXIT_DONE;
    context.session.End();
    return Fail(context, JsonObject(json).Text("stage", "check"), EXIT_USAGE, "check", why);
}

}  // namespace

// The port as far as the system shows it, then opened by the driver.
int OpenLine(Context& context, const JsonObject& json)
{
    const LineOptions& line = context.options.line;
    if (const std::string problem = PortProblemBeforeOpen(line.port); !problem.empty()) {
        context.session.End();
        return Fail(context, JsonObject(json).Text("stage", "port"), EXIT_FAILED, "port", problem);
    }
    const int32_t result = context.session.ColdStart(line, true);
    if (result == SUCCESS)
        return EXIT_DONE;
    context.session.End();
    return Fail(context,
                JsonObject(json).Text("stage", "ColdStart").Number("result", result).Text("status", ResultName(result)),
                EXIT_FAILED, "port", PortProblemAfterRefusal(line.port));
}

namespace {

// What the trace showed of an exchange, for scripts.
JsonObject& ReportJson(JsonObject& json, const ExchangeReport& report)
{
    return json.Number("attempts", report.Attempts())
        .Raw("outcomes", OutcomesJson(report))
        .Bool("possibly_late", report.possiblyLate)
        .Bool("checksum_suspect", report.checksumSuspect);
}

// The reason of a failure, for scripts: an outcome name, or "rejected".
std::string ReasonName(int32_t result, const ExchangeReport& report)
{
    if (result == REJECTED)
        return "rejected";
    return report.traced ? OutcomeName(report.outcome) : "unknown";
}

// ", 2 attempts (1 no reply)" or "".
std::string AttemptsClause(const ExchangeReport& report)
{
    const std::string attempts = AttemptsText(report);
    return attempts.empty() ? "" : ", " + attempts;
}

void PrintNotes(FILE* out, const ExchangeReport& report)
{
    if (const std::string notes = SuccessNotes(report); !notes.empty())
        std::fprintf(out, "Note: %s\n", notes.c_str());
}

}  // namespace

// ---------------------------------------------------------------------------
// Shared

int Complain(int status, const std::string& message)
{
    std::fprintf(stderr, "kivhost: %s\n", message.c_str());
    std::fflush(stderr);
    return status;
}

bool IsWordAddress(const DriverAddress& address)
{
    return address.operand == 'W' && address.bit == NO_BIT;
}

std::string FormatValue(const DriverAddress& address, uint16_t value)
{
    if (!IsWordAddress(address))
        return std::to_string(value);
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

std::string BannerUtf8(const DriverInfoBlock& info)
{
    return info.banner == nullptr ? std::string() : Cp437ToUtf8(info.banner);
}

std::string AddressJson(const DriverAddress& address)
{
    const char operand[2] = {
        static_cast<char>(address.operand >= 0x20 && address.operand < 0x7F ? address.operand : '?'), 0};
    return JsonObject()
        .Number("station", address.station)
        .Text("operand", address.operand == 0 ? "" : operand)
        .Number("number", address.number)
        .Number("bit", address.bit)
        .Number("width", address.width)
        .Done();
}

std::string ExchangeFailure(const DriverAddress& address, const std::string& text, bool write, int32_t result,
                            const ExchangeReport& report, uint32_t timeoutMs)
{
    const std::string what = write ? "write" : "read";
    if (result == REJECTED && write && address.operand == 'E')
        return "the driver does not write E operands, which are the PLC's inputs (REJECTED); write W, B or A instead";
    if (result == REJECTED)
        return "the driver rejected the " + what + " of " + text + " (REJECTED)";
    return FailureMessage(report, what + " of " + text, address.station, timeoutMs);
}

// ---------------------------------------------------------------------------
// --version

int RunVersion(Context& context)
{
    DriverInfoBlock info{};
    const int32_t result = context.session.GetInfo(&info);
    const std::string line = result == SUCCESS ? BannerVersionLine(info.banner) : std::string();
    context.session.End();
    if (line.empty())
        return Complain(EXIT_FAILED, "GetKivInfo returned " + ResultName(result) + " and no version line; is " +
                                         context.library + " the DAVODEV driver? Give --lib PATH");
    std::fprintf(context.output.Results(), "driver  %s (%s)\n", line.c_str(), context.library.c_str());
    std::fflush(context.output.Results());
    return EXIT_DONE;
}

// ---------------------------------------------------------------------------
// info

int RunInfo(Context& context)
{
    DriverInfoBlock info{};
    const int32_t result = context.session.GetInfo(&info);
    const std::string banner = BannerUtf8(info);
    const std::string shortName = info.shortName == nullptr ? "" : Cp437ToUtf8(info.shortName);
    context.session.End();
    JsonObject json;
    json.Text("command", "info").Number("result", result).Text("status", ResultName(result));
    if (result != SUCCESS)
        return Fail(context, json, EXIT_FAILED, "driver", NoDriverMessage(context, result));

    if (context.options.json) {
        Emit(context,
             json.Text("library", context.library)
                 .Text("short_name", shortName)
                 .Text("banner", banner)
                 .Number("channel_block_size", info.channelBlockSize)
                 .Raw("words", JsonValues({static_cast<uint16_t>(info.word0), static_cast<uint16_t>(info.word4),
                                           static_cast<uint16_t>(info.word7)})));
        return EXIT_DONE;
    }
    FILE* out = context.output.Results();
    std::fprintf(out, "%s\n", banner.c_str());
    std::fprintf(out, "Driver          %s\n", shortName.c_str());
    std::fprintf(out, "Library         %s\n", context.library.c_str());
    std::fprintf(out, "Channel block   %u bytes per channel\n", static_cast<unsigned>(info.channelBlockSize));
    std::fprintf(out, "Info words      %u, %u, %u (words 0, 4 and 7)\n", static_cast<unsigned>(info.word0),
                 static_cast<unsigned>(info.word4), static_cast<unsigned>(info.word7));
    std::fflush(out);
    return EXIT_DONE;
}

// ---------------------------------------------------------------------------
// parse

int RunParse(Context& context)
{
    const Options& options = context.options;
    const std::string& text = options.addresses.front();
    const uint32_t tagType = options.tagType.value_or(DefaultTagType(text));
    const bool block = options.block || options.count != 1;

    // The parsers need no port: the channel is started disabled, which
    // cannot fail, and the parser's answer is what counts.
    DriverInfoBlock info{};
    context.session.GetInfo(&info);
    context.session.ColdStart(options.line, false);
    DriverAddress address{};
    const int32_t result = context.session.Parse(text, block, tagType, options.count, &address);
    const std::vector<LogLine> log = context.session.LastLog();
    const std::string failure = result == SUCCESS ? ""
                                : result == REJECTED
                                    ? ParseRejection(context.session, text, block, tagType, options.count)
                                    : std::string(ParserName(block)) + " returned " + ResultName(result);
    context.session.End();

    if (options.json) {
        JsonObject json;
        json.Text("command", "parse")
            .Text("text", text)
            .Text("parser", ParserName(block))
            .Number("type", tagType)
            .Number("count", options.count)
            .Number("result", result)
            .Text("status", ResultName(result))
            .Raw("address", AddressJson(address))
            .Raw("log", LogJson(log));
        if (result != SUCCESS)
            json.Text("reason", result == REJECTED ? "rejected" : "driver").Text("message", failure);
        Emit(context, json);
    } else {
        FILE* out = context.output.Results();
        std::fprintf(out, "%s: %s by %s (tag type %u, count %d)\n", text.c_str(),
                     result == SUCCESS ? "accepted" : "rejected", ParserName(block), static_cast<unsigned>(tagType),
                     static_cast<int>(options.count));
        if (result == SUCCESS) {
            std::fprintf(out, "  station  %d\n", static_cast<int>(address.station));
            std::fprintf(out, "  operand  %c\n", static_cast<char>(address.operand));
            std::fprintf(out, "  number   0x%04X\n", static_cast<unsigned>(address.number));
            if (address.bit == NO_BIT)
                std::fprintf(out, "  bit      none (255)\n");
            else
                std::fprintf(out, "  bit      %d\n", static_cast<int>(address.bit));
            std::fprintf(out, "  width    %d\n", static_cast<int>(address.width));
        }
        for (const LogLine& line : log)
            std::fprintf(out, "  driver log %d: %s\n", static_cast<int>(line.level), Cp437ToUtf8(line.text).c_str());
        std::fflush(out);
    }
    if (result == SUCCESS)
        return EXIT_DONE;
    return Complain(result == REJECTED ? EXIT_REJECTED : EXIT_FAILED, failure);
}

// ---------------------------------------------------------------------------
// read

int RunRead(Context& context)
{
    const Options& options = context.options;
    const std::string& text = options.addresses.front();
    JsonObject json;
    json.Text("command", "read").Text("address", text).Number("count", options.count);

    DriverAddress address{};
    if (int status = StartChannel(context, json); status != EXIT_DONE)
        return status;
    if (int status = ParseForIo(context, text, options.count, nullptr, &address, json); status != EXIT_DONE)
        return status;
    if (int status = OpenLine(context, json); status != EXIT_DONE)
        return status;
    std::vector<uint16_t> values;
    const int32_t result = context.session.Read(address, options.count, &values);
    const double ms = context.session.LastMs();
    const ExchangeReport report = context.reporter.Report(context.session.LastExchanges());
    context.session.End();
    const std::string failure =
        result == SUCCESS ? "" : ExchangeFailure(address, text, false, result, report, options.line.TimeoutMs());

    if (options.json) {
        std::string addresses = "[";
        for (size_t i = 0; i < values.size(); ++i) {
            if (i > 0)
                addresses += ',';
            addresses += JsonString(ElementAddress(address, static_cast<int>(i)));
        }
        json.Text("stage", ReadName(options.count))
            .Number("result", result)
            .Text("status", ResultName(result))
            .Raw("ms", JsonNumber(ms))
            .Raw("addresses", addresses + "]")
            .Raw("values", JsonValues(values));
        ReportJson(json, report);
        if (result != SUCCESS)
            json.Text("reason", ReasonName(result, report)).Text("message", failure);
        Emit(context, json);
    } else if (result == SUCCESS) {
        FILE* out = context.output.Results();
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
        std::fprintf(out, "%s of %d %s from station %s in %s%s\n", ReadName(options.count),
                     static_cast<int>(options.count),
                     words ? (options.count == 1 ? "word" : "words") : (options.count == 1 ? "bit" : "bits"),
                     StationText(address.station).c_str(), Ms(ms).c_str(), AttemptsClause(report).c_str());
        PrintNotes(out, report);
        std::fflush(out);
    }
    if (result != SUCCESS)
        return Complain(StatusOf(result), failure);
    return EXIT_DONE;
}

// ---------------------------------------------------------------------------
// write

int RunWrite(Context& context)
{
    const Options& options = context.options;
    const std::string& text = options.addresses.front();
    JsonObject json;
    json.Text("command", "write").Text("address", text).Raw("values", JsonValues(options.values));

    DriverAddress address{};
    const auto count = static_cast<int32_t>(options.values.size());
    if (int status = StartChannel(context, json); status != EXIT_DONE)
        return status;
    if (int status = ParseForIo(context, text, count, &options.values, &address, json); status != EXIT_DONE)
        return status;
    if (int status = OpenLine(context, json); status != EXIT_DONE)
        return status;
    const int32_t result = context.session.Write(address, options.values);
    const double ms = context.session.LastMs();
    const ExchangeReport report = context.reporter.Report(context.session.LastExchanges());
    context.session.End();
    const std::string failure =
        result == SUCCESS ? "" : ExchangeFailure(address, text, true, result, report, options.line.TimeoutMs());

    if (options.json) {
        json.Text("stage", WriteName(options.values.size()))
            .Number("result", result)
            .Text("status", ResultName(result))
            .Raw("ms", JsonNumber(ms));
        ReportJson(json, report);
        if (result != SUCCESS)
            json.Text("reason", ReasonName(result, report)).Text("message", failure);
        Emit(context, json);
    } else if (result == SUCCESS) {
        FILE* out = context.output.Results();
        if (address.operand == 'W' && address.bit != NO_BIT) {
            std::fprintf(out, "%s: bit %d %s (set/reset frame)\n", ElementAddress(address, 0).c_str(),
                         static_cast<int>(address.bit), options.values.front() & 1 ? "set" : "reset");
        } else {
            for (size_t i = 0; i < options.values.size(); ++i)
                std::fprintf(out, "%-9s <- %s\n", ElementAddress(address, static_cast<int>(i)).c_str(),
                             FormatValue(address, options.values[i]).c_str());
        }
        std::fprintf(out, "%s to station %s acknowledged in %s%s\n", WriteName(options.values.size()),
                     StationText(address.station).c_str(), Ms(ms).c_str(), AttemptsClause(report).c_str());
        PrintNotes(out, report);
        std::fflush(out);
    }
    if (result != SUCCESS)
        return Complain(StatusOf(result), failure);
    return EXIT_DONE;
}

// ---------------------------------------------------------------------------
// poll

namespace {

struct PolledTag {
    std::string text;
    DriverAddress address{};
    int32_t count = 1;
    std::vector<uint16_t> values;
    int32_t lastResult = SUCCESS;
    ExchangeReport lastReport;
    std::string lastTime;     // ISO 8601, of the last read
    std::string lastFailure;  // the one line of the last failed read
    uint64_t good = 0;
    uint64_t failed = 0;
    uint64_t retries = 0;  // attempts beyond the first, good reads or not
    double lastMs = 0;
    double totalMs = 0;

    double AverageMs() const { return good + failed == 0 ? 0 : totalMs / static_cast<double>(good + failed); }

    std::string Values(size_t width) const
    {
        if (lastResult != SUCCESS)
            return lastResult == REJECTED ? "(rejected)" : std::string("(") + OutcomeText(lastReport.outcome) + ")";
        std::string out;
        for (uint16_t value : values) {
            const std::string one = FormatValue(address, value);
            if (!out.empty() && out.size() + 1 + one.size() > width)
                return out + " ...";
            if (!out.empty())
                out += ' ';
            out += one;
        }
        return out;
    }

    // What to know about the last read beyond its values.
    std::string Flags() const
    {
        std::string flags;
        if (lastReport.Attempts() > 1)
            flags += std::to_string(lastReport.Attempts()) + " attempts";
        if (lastReport.possiblyLate)
            flags += std::string(flags.empty() ? "" : ", ") + "late?";
        if (lastReport.checksumSuspect)
            flags += std::string(flags.empty() ? "" : ", ") + "checksum?";
        return flags;
    }
};

std::string TableLine(const PolledTag& tag)
{
    char line[200];
    std::snprintf(line, sizeof line, "%-9s %-32s %7llu %7llu %7llu %9.2f %9.2f  %s", tag.text.c_str(),
                  tag.Values(28).c_str(), static_cast<unsigned long long>(tag.good),
                  static_cast<unsigned long long>(tag.failed), static_cast<unsigned long long>(tag.retries), tag.lastMs,
                  tag.AverageMs(), tag.Flags().c_str());
    return line;
}

std::string TagJson(const PolledTag& tag)
{
    JsonObject json;
    json.Text("address", tag.text)
        .Text("time", tag.lastTime)
        .Number("result", tag.lastResult)
        .Text("status", ResultName(tag.lastResult))
        .Raw("values", JsonValues(tag.values));
    ReportJson(json, tag.lastReport);
    if (tag.lastResult != SUCCESS)
        json.Text("reason", ReasonName(tag.lastResult, tag.lastReport)).Text("message", tag.lastFailure);
    return json.Number("good", static_cast<long long>(tag.good))
        .Number("failed", static_cast<long long>(tag.failed))
        .Number("retries", static_cast<long long>(tag.retries))
        .Raw("last_ms", JsonNumber(tag.lastMs))
        .Raw("avg_ms", JsonNumber(tag.AverageMs()))
        .Done();
}

}  // namespace

int RunPoll(Context& context)
{
    const Options& options = context.options;
    JsonObject startJson;
    startJson.Text("command", "poll");

    // Every address is checked before the port is opened.
    if (int status = StartChannel(context, startJson); status != EXIT_DONE)
        return status;
    std::vector<PolledTag> tags;
    for (const std::string& text : options.addresses) {
        PolledTag tag;
        tag.text = text;
        JsonObject json = startJson;
        json.Text("address", text);
        if (int status = ParseForIo(context, text, options.count, nullptr, &tag.address, json); status != EXIT_DONE)
            return status;
        tag.count = options.count;
        tags.push_back(tag);
    }
    // --tags: the file's rows, each checked by the parser with its own count.
    std::vector<Tag> fileTags;
    if (!options.pollTags.empty())
        if (int status = LoadTagFile(context, options.pollTags, &fileTags); status != EXIT_DONE)
            return status;
    for (const Tag& fileTag : fileTags) {
        PolledTag tag;
        tag.text = fileTag.text;
        tag.address = fileTag.address;
        tag.count = fileTag.count;
        tags.push_back(tag);
    }
    if (int status = OpenLine(context, startJson); status != EXIT_DONE)
        return status;

    size_t longestReply = 0;
    for (const PolledTag& tag : tags)
        longestReply = std::max(longestReply, ReplyBytes(ReadBlock{tag.address, tag.count}));
    CatchStopSignals(options.line, longestReply);
    // Traces on the same terminal would tear a table drawn in place.
    const bool traceOnTerminal = options.trace != TraceMode::Off && options.traceFile.empty();
    const bool redraw = !options.json && !traceOnTerminal && CanRedraw(context.output);
    FILE* out = context.output.Results();
    char header[200];
    std::snprintf(header, sizeof header, "%-9s %-32s %7s %7s %7s %9s %9s  %s", "Address", "Values", "Good", "Failed",
                  "Retries", "Last ms", "Avg ms", "Notes");
    int drawnLines = 0;
    uint32_t cycle = 0;
    uint64_t failedReads = 0;
    uint64_t allReads = 0;
    std::string lastFailure;
    auto next = std::chrono::steady_clock::now();
    while (stopRequested == 0 && (options.cycles == 0 || cycle < options.cycles)) {
        ++cycle;
        for (PolledTag& tag : tags) {
            inExchange = 1;
            tag.lastResult = context.session.Read(tag.address, tag.count, &tag.values);
            inExchange = 0;
            tag.lastTime = UtcTimestamp();
            tag.lastMs = context.session.LastMs();
            tag.totalMs += tag.lastMs;
            tag.lastReport = context.reporter.Report(context.session.LastExchanges());
            if (tag.lastReport.Attempts() > 1)
                tag.retries += static_cast<uint64_t>(tag.lastReport.Attempts() - 1);
            (tag.lastResult == SUCCESS ? tag.good : tag.failed) += 1;
            ++allReads;
            if (tag.lastResult != SUCCESS) {
                ++failedReads;
                tag.lastFailure = ExchangeFailure(tag.address, tag.text, false, tag.lastResult, tag.lastReport,
                                                  options.line.TimeoutMs());
                lastFailure = tag.lastFailure;
            }
            if (stopRequested != 0)
                break;
        }

        if (options.json) {
            std::string list = "[";
            for (const PolledTag& tag : tags) {
                if (list.size() > 1)
                    list += ",";
                list += TagJson(tag);
            }
            JsonObject json;
            json.Text("command", "poll").Text("time", UtcTimestamp()).Number("cycle", cycle).Raw("tags", list + "]");
            std::fprintf(out, "%s\n", json.Done().c_str());
        } else if (redraw) {
            if (drawnLines > 0)
                std::fprintf(out, "\x1b[%dA", drawnLines);
            std::fprintf(out, "\r\x1b[K%s\n", header);
            for (const PolledTag& tag : tags)
                std::fprintf(out, "\r\x1b[K%s\n", TableLine(tag).c_str());
            if (options.cycles == 0)
                std::fprintf(out, "\r\x1b[Kcycle %u, every %u ms - Ctrl-C stops\n", cycle,
                             static_cast<unsigned>(options.intervalMs));
            else
                std::fprintf(out, "\r\x1b[Kcycle %u of %u, every %u ms\n", cycle, static_cast<unsigned>(options.cycles),
                             static_cast<unsigned>(options.intervalMs));
            drawnLines = static_cast<int>(tags.size()) + 2;
        } else {
            std::string line = "cycle " + std::to_string(cycle) + ":";
            for (const PolledTag& tag : tags) {
                const std::string flags = tag.Flags();
                line += " " + tag.text + " " + tag.Values(80) + " (" + Ms(tag.lastMs) + ", good " +
                        std::to_string(tag.good) + ", failed " + std::to_string(tag.failed) + ", avg " +
                        Ms(tag.AverageMs()) + (flags.empty() ? "" : "; " + flags) + ");";
            }
            line.pop_back();
            std::fprintf(out, "%s\n", line.c_str());
        }
        std::fflush(out);

        if (options.cycles != 0 && cycle >= options.cycles)
            break;
        // Cycles start at a steady pace; a slow cycle is followed at once.
        next += std::chrono::milliseconds(options.intervalMs);
        SleepUntilOrStop(next);
        if (std::chrono::steady_clock::now() > next + std::chrono::milliseconds(options.intervalMs))
            next = std::chrono::steady_clock::now();
    }
    context.session.End();

    if (failedReads > 0)
        return Complain(EXIT_FAILED, std::to_string(failedReads) + " of " + std::to_string(allReads) +
                                         " reads failed; the last: " + lastFailure);
    return EXIT_DONE;
}

}  // namespace kivhost
