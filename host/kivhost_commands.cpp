#include "kivhost_commands.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>

#include "kivhost_hint.h"
#include "kivhost_scan.h"
#include "kivhost_text.h"

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
namespace {

volatile std::sig_atomic_t stopRequested = 0;

extern "C" void OnStopSignal(int)
{
    stopRequested = 1;
}

void CatchStopSignals()
{
#if defined(_WIN32)
    std::signal(SIGINT, OnStopSignal);
#else
    // No SA_RESTART: a wait in progress ends early and the loop sees the flag.
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
#endif
}

void SleepMs(uint32_t ms)
{
#if defined(_WIN32)
    Sleep(ms);
#else
    timespec span{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    nanosleep(&span, nullptr);
#endif
}

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

std::string PortFailure(const LineOptions& line)
{
    return "cannot open port \"" + line.port +
           "\" (ColdStart returned RECOVERY_ERROR): check the name (kivhost --help, --port), that no other program "
           "holds it, "
           "and that you may use it (on Linux, the dialout group)";
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

void Emit(Context& context, const std::string& line)
{
    std::fprintf(context.output.Results(), "%s\n", line.c_str());
    std::fflush(context.output.Results());
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

// GetKivInfo and ColdStart with the port enabled, as every talking command
// begins. EXIT_DONE or the status to leave with (already explained).
int OpenLine(Context& context, JsonObject& json)
{
    DriverInfoBlock info{};
    const char* stage = "GetKivInfo";
    int32_t result = context.session.GetInfo(&info);
    if (result == SUCCESS) {
        stage = "ColdStart";
        result = context.session.ColdStart(context.options.line, true);
    }
    if (result == SUCCESS)
        return EXIT_DONE;
    context.session.End();
    if (context.options.json)
        Emit(context, json.Text("stage", stage).Number("result", result).Text("status", ResultName(result)).Done());
    if (std::string_view(stage) == "GetKivInfo")
        return Complain(EXIT_FAILED, "GetKivInfo returned " + ResultName(result) + "; is " + context.library +
                                         " the DAVODEV driver? Give --lib PATH");
    return Complain(EXIT_FAILED, PortFailure(context.options.line));
}

// The address through the parser a host would use for this count.
int ParseForIo(Context& context, const std::string& text, int32_t count, DriverAddress* address, JsonObject& json)
{
    const bool block = count != 1;
    const uint32_t tagType = DefaultTagType(text);
    const int32_t result = context.session.Parse(text, block, tagType, count, address);
    if (result == SUCCESS)
        return EXIT_DONE;
    const std::string rejection = ParseRejection(context.session, text, block, tagType, count);
    context.session.End();
    if (context.options.json)
        Emit(context,
             json.Text("stage", ParserName(block)).Number("result", result).Text("status", ResultName(result)).Done());
    return Complain(StatusOf(result), rejection);
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

std::string JsonNumber(double value)
{
    return Printf("%.3f", value);
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

std::string JsonValues(const std::vector<uint16_t>& values)
{
    std::string out = "[";
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0)
            out += ',';
        out += std::to_string(values[i]);
    }
    return out + "]";
}

std::string ExchangeFailure(const DriverAddress& address, const std::string& text, bool write, int32_t result)
{
    const std::string what = write ? "write" : "read";
    if (result == REJECTED && write && address.operand == 'E')
        return "the driver does not write E operands, which are the PLC's inputs (REJECTED); write W, B or A instead";
    if (result == REJECTED)
        return "the driver rejected the " + what + " of " + text + " (REJECTED)";
    return "no good reply from station " + std::to_string(address.station) + " to the " + what + " of " + text +
           " after 4 attempts (" + ResultName(result) +
           "): check the station number, the cable, and --baud, --data-bits, --parity and --stop-bits against the PLC; "
           "a slow station may need a longer --timeout";
}

JsonObject& JsonObject::Raw(std::string_view key, const std::string& json)
{
    if (body_.size() > 1)
        body_ += ",";
    body_ += JsonString(key) + ":" + json;
    return *this;
}

JsonObject& JsonObject::Text(std::string_view key, std::string_view utf8)
{
    return Raw(key, JsonString(utf8));
}

JsonObject& JsonObject::Number(std::string_view key, long long value)
{
    return Raw(key, std::to_string(value));
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
    if (result != SUCCESS)
        return Complain(EXIT_FAILED, "GetKivInfo returned " + ResultName(result) + "; is " + context.library +
                                         " the DAVODEV driver? Give --lib PATH");

    if (context.options.json) {
        Emit(context,
             JsonObject()
                 .Text("command", "info")
                 .Number("result", result)
                 .Text("status", ResultName(result))
                 .Text("library", context.library)
                 .Text("short_name", shortName)
                 .Text("banner", banner)
                 .Number("channel_block_size", info.channelBlockSize)
                 .Raw("words", JsonValues({static_cast<uint16_t>(info.word0), static_cast<uint16_t>(info.word4),
                                           static_cast<uint16_t>(info.word7)}))
                 .Done());
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
    const std::string rejection =
        result == REJECTED ? ParseRejection(context.session, text, block, tagType, options.count) : "";
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
        Emit(context, json.Done());
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
    if (result == REJECTED)
        return Complain(EXIT_REJECTED, rejection);
    return Complain(EXIT_FAILED, std::string(ParserName(block)) + " returned " + ResultName(result));
}

// ---------------------------------------------------------------------------
// read

int RunRead(Context& context)
{
    const Options& options = context.options;
    const std::string& text = options.addresses.front();
    JsonObject json;
    json.Text("command", "read").Text("address", text).Number("count", options.count);

    if (int status = OpenLine(context, json); status != EXIT_DONE)
        return status;
    DriverAddress address{};
    if (int status = ParseForIo(context, text, options.count, &address, json); status != EXIT_DONE)
        return status;
    std::vector<uint16_t> values;
    const int32_t result = context.session.Read(address, options.count, &values);
    const double ms = context.session.LastMs();
    context.session.End();

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
        Emit(context, json.Done());
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
        std::fprintf(out, "%s of %d %s from station %d in %s\n", ReadName(options.count),
                     static_cast<int>(options.count),
                     words ? (options.count == 1 ? "word" : "words") : (options.count == 1 ? "bit" : "bits"),
                     static_cast<int>(address.station), Ms(ms).c_str());
        std::fflush(out);
    }
    if (result != SUCCESS)
        return Complain(StatusOf(result), ExchangeFailure(address, text, false, result));
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

    if (int status = OpenLine(context, json); status != EXIT_DONE)
        return status;
    DriverAddress address{};
    const auto count = static_cast<int32_t>(options.values.size());
    if (int status = ParseForIo(context, text, count, &address, json); status != EXIT_DONE)
        return status;
    const int32_t result = context.session.Write(address, options.values);
    const double ms = context.session.LastMs();
    context.session.End();

    if (options.json) {
        json.Text("stage", WriteName(options.values.size()))
            .Number("result", result)
            .Text("status", ResultName(result))
            .Raw("ms", JsonNumber(ms));
        Emit(context, json.Done());
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
        std::fprintf(out, "%s to station %d acknowledged in %s\n", WriteName(options.values.size()),
                     static_cast<int>(address.station), Ms(ms).c_str());
        std::fflush(out);
    }
    if (result != SUCCESS)
        return Complain(StatusOf(result), ExchangeFailure(address, text, true, result));
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
    uint64_t good = 0;
    uint64_t failed = 0;
    double lastMs = 0;
    double totalMs = 0;

    double AverageMs() const { return good + failed == 0 ? 0 : totalMs / static_cast<double>(good + failed); }

    std::string Values(size_t width) const
    {
        if (lastResult != SUCCESS)
            return lastResult == REJECTED ? "(rejected)" : "(no reply)";
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
};

std::string TableLine(const PolledTag& tag)
{
    char line[160];
    std::snprintf(line, sizeof line, "%-9s %-32s %7llu %7llu %9.2f %9.2f", tag.text.c_str(), tag.Values(28).c_str(),
                  static_cast<unsigned long long>(tag.good), static_cast<unsigned long long>(tag.failed), tag.lastMs,
                  tag.AverageMs());
    return line;
}

}  // namespace

int RunPoll(Context& context)
{
    const Options& options = context.options;
    std::vector<Tag> fileTags;
    if (!options.pollTags.empty())
        if (int status = LoadTagFile(context, options.pollTags, &fileTags); status != EXIT_DONE)
            return status;
    JsonObject startJson;
    startJson.Text("command", "poll");
    if (int status = OpenLine(context, startJson); status != EXIT_DONE)
        return status;

    // Every address is checked before the first request goes out.
    std::vector<PolledTag> tags;
    for (const std::string& text : options.addresses) {
        PolledTag tag;
        tag.text = text;
        JsonObject json = startJson;
        json.Text("address", text);
        if (int status = ParseForIo(context, text, options.count, &tag.address, json); status != EXIT_DONE)
            return status;
        tag.count = options.count;
        tags.push_back(tag);
    }
    // The tag file's, checked by the driver's parser when it was read.
    for (const Tag& fileTag : fileTags) {
        PolledTag tag;
        tag.text = fileTag.text;
        tag.address = fileTag.address;
        tag.count = fileTag.count;
        tags.push_back(tag);
    }

    CatchStopSignals();
    // Traces on the same terminal would tear a table drawn in place.
    const bool redraw = !options.json && !options.trace && CanRedraw(context.output);
    FILE* out = context.output.Results();
    char header[160];
    std::snprintf(header, sizeof header, "%-9s %-32s %7s %7s %9s %9s", "Address", "Values", "Good", "Failed", "Last ms",
                  "Avg ms");
    int drawnLines = 0;
    uint32_t cycle = 0;
    bool anyFailed = false;
    auto next = std::chrono::steady_clock::now();
    while (stopRequested == 0 && (options.cycles == 0 || cycle < options.cycles)) {
        ++cycle;
        for (PolledTag& tag : tags) {
            tag.lastResult = context.session.Read(tag.address, tag.count, &tag.values);
            tag.lastMs = context.session.LastMs();
            tag.totalMs += tag.lastMs;
            (tag.lastResult == SUCCESS ? tag.good : tag.failed) += 1;
            anyFailed = anyFailed || tag.lastResult != SUCCESS;
            if (stopRequested != 0)
                break;
        }

        if (options.json) {
            std::string list = "[";
            for (const PolledTag& tag : tags) {
                if (list.size() > 1)
                    list += ",";
                list += JsonObject()
                            .Text("address", tag.text)
                            .Number("result", tag.lastResult)
                            .Text("status", ResultName(tag.lastResult))
                            .Raw("values", JsonValues(tag.values))
                            .Number("good", static_cast<long long>(tag.good))
                            .Number("failed", static_cast<long long>(tag.failed))
                            .Raw("last_ms", JsonNumber(tag.lastMs))
                            .Raw("avg_ms", JsonNumber(tag.AverageMs()))
                            .Done();
            }
            std::fprintf(
                out, "%s\n",
                JsonObject().Text("command", "poll").Number("cycle", cycle).Raw("tags", list + "]").Done().c_str());
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
            for (const PolledTag& tag : tags)
                line += " " + tag.text + " " + tag.Values(80) + " (" + Ms(tag.lastMs) + ", good " +
                        std::to_string(tag.good) + ", failed " + std::to_string(tag.failed) + ", avg " +
                        Ms(tag.AverageMs()) + ");";
            line.pop_back();
            std::fprintf(out, "%s\n", line.c_str());
        }
        std::fflush(out);

        if (options.cycles != 0 && cycle >= options.cycles)
            break;
        // Cycles start at a steady pace; a slow cycle is followed at once.
        next += std::chrono::milliseconds(options.intervalMs);
        while (stopRequested == 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(next - std::chrono::steady_clock::now()).count();
            if (left <= 0)
                break;
            SleepMs(static_cast<uint32_t>(std::min<long long>(left, 100)));
        }
        if (std::chrono::steady_clock::now() > next + std::chrono::milliseconds(options.intervalMs))
            next = std::chrono::steady_clock::now();
    }
    context.session.End();

    if (anyFailed) {
        uint64_t failed = 0;
        uint64_t all = 0;
        for (const PolledTag& tag : tags) {
            failed += tag.failed;
            all += tag.good + tag.failed;
        }
        return Complain(EXIT_FAILED,
                        std::to_string(failed) + " of " + std::to_string(all) +
                            " reads failed (RECOVERY_ERROR): check the station numbers, the cable and the line "
                            "settings; a slow station may need a longer --timeout");
    }
    return EXIT_DONE;
}

}  // namespace kivhost
