#include "kivhost_scan.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>

#include "block_planner.h"
#include "kivhost_hint.h"
#include "kivhost_text.h"
#include "scan_output.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif
#else
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>
#endif

namespace kivhost {
namespace {

constexpr int EXIT_INTERRUPTED = 130;  // as a shell reports a program ended by Ctrl-C
constexpr uint32_t RETRY_DOWN_MAX_S = 86400;
constexpr int MAX_GAP_MAX = 254;               // a wider gap cannot fit a block of 255 anyway
constexpr uint32_t SURVEY_TIMEOUT_UNITS = 10;  // 100 ms, unless --timeout says otherwise
constexpr size_t EVENTS_SHOWN = 3;

// ---------------------------------------------------------------------------
// Stopping: the first Ctrl-C (or SIGTERM) asks the loop to stop after the
// exchange under way and says how long that can take; the second, while the
// driver is in an exchange, ends the program at once. Out of an exchange the
// loop is about to stop anyway and ends the driver.

volatile std::sig_atomic_t stopCount = 0;
volatile std::sig_atomic_t inExchange = 0;
char onceText[400];
size_t onceLength = 0;
constexpr char TWICE_TEXT[] = "kivhost: stopped at once, in the middle of an exchange; the driver was not ended "
                              "and the system closes the port\n";

void WriteError(const char* text, size_t length)
{
#if defined(_WIN32)
    const int written = _write(2, text, static_cast<unsigned>(length));
#else
    const ssize_t written = write(2, text, length);
#endif
    (void)written;  // nothing more can be done in a signal handler
}

extern "C" void OnScanStopSignal(int signal)
{
#if defined(_WIN32)
    std::signal(signal, OnScanStopSignal);  // Windows puts back the default before calling
#else
    (void)signal;
#endif
    if (stopCount == 0) {
        stopCount = 1;
        WriteError(onceText, onceLength);
        return;
    }
    if (inExchange != 0) {
        WriteError(TWICE_TEXT, sizeof TWICE_TEXT - 1);
        _exit(EXIT_INTERRUPTED);
    }
    stopCount = 2;
}

void CatchStopSignals(const std::string& message)
{
    onceLength = std::min(message.size(), sizeof onceText);
    std::memcpy(onceText, message.data(), onceLength);
#if defined(_WIN32)
    std::signal(SIGINT, OnScanStopSignal);
#else
    // No SA_RESTART: a wait between cycles ends early and the loop sees the flag.
    struct sigaction action = {};
    action.sa_handler = OnScanStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
#endif
}

// What the first Ctrl-C says: the longest an exchange can take is four
// attempts, each a request, the time-out and the longest reply on the line.
std::string StopMessage(const LineOptions& line, size_t longestReply)
{
    const double timeoutMs = line.timeoutUnits * 10.0;
    const double most = 4 * (timeoutMs + WireMs(READ_REQUEST_BYTES + longestReply, line));
    char text[300];
    std::snprintf(text, sizeof text,
                  "kivhost: stopping after the current exchange: at most %.1f s (4 attempts of --timeout %u ms); "
                  "Ctrl-C again ends at once\n",
                  most / 1000, static_cast<unsigned>(timeoutMs));
    return text;
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

// Until the time, or a stop.
void WaitUntil(std::chrono::steady_clock::time_point until)
{
    while (stopCount == 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            return;
        SleepMs(static_cast<uint32_t>(std::min<long long>(left, 100)));
    }
}

// ---------------------------------------------------------------------------
// The terminal

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

void TerminalSize(FILE* out, int* width, int* height)
{
    *width = 80;
    *height = 24;
#if defined(_WIN32)
    CONSOLE_SCREEN_BUFFER_INFO info;
    HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(fileno(out)));
    if (GetConsoleScreenBufferInfo(console, &info)) {
        *width = info.srWindow.Right - info.srWindow.Left + 1;
        *height = info.srWindow.Bottom - info.srWindow.Top + 1;
    }
#else
    winsize size{};
    if (ioctl(fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0) {
        *width = size.ws_col;
        *height = size.ws_row;
    }
#endif
}

// Draws lines over the ones drawn before, and clears what is left of them.
class LiveTable {
public:
    explicit LiveTable(FILE* out) : out_(out) {}
    void Draw(const std::vector<std::string>& lines)
    {
        if (drawn_ > 0)
            std::fprintf(out_, "\x1b[%dA\r", drawn_);
        for (const std::string& line : lines)
            std::fprintf(out_, "%s\x1b[K\n", line.c_str());
        std::fprintf(out_, "\x1b[J");
        std::fflush(out_);
        drawn_ = static_cast<int>(lines.size());
    }

private:
    FILE* out_;
    int drawn_ = 0;
};

// ---------------------------------------------------------------------------
// Shared steps

std::string FormatName(const LineOptions& line)
{
    static const char PARITY[] = "NOEMS";
    static const char* const STOP[] = {"1", "1.5", "2"};
    return std::to_string(line.dataBits) + PARITY[line.parity % 5] + STOP[line.stopBits % 3];
}

std::string StationText(int station)
{
    char text[8];
    std::snprintf(text, sizeof text, "%02X", static_cast<unsigned>(station) & 0xFF);
    return text;
}

// GetKivInfo, and the channel started without its port: enough for the parsers.
int StartWithoutPort(Context& context)
{
    DriverInfoBlock info{};
    const int32_t result = context.session.GetInfo(&info);
    if (result != SUCCESS) {
        context.session.End();
        return Complain(EXIT_FAILED, "GetKivInfo returned " + ResultName(result) + "; is " + context.library +
                                         " the DAVODEV driver? Give --lib PATH");
    }
    context.session.ColdStart(context.options.line, false);
    return EXIT_DONE;
}

// ColdStart again, with the port. EXIT_DONE or the status, explained.
int OpenPort(Context& context, const LineOptions& line)
{
    const int32_t result = context.session.ColdStart(line, true);
    if (result == SUCCESS)
        return EXIT_DONE;
    context.session.End();
    return Complain(EXIT_FAILED, "cannot open port \"" + line.port + "\" (ColdStart returned " + ResultName(result) +
                                     "): check the name (--port), that no other program holds it, and that you may "
                                     "use it (on Linux, the dialout group)");
}

FILE* OpenLog(const std::string& path, std::string_view header, std::string* error)
{
    FILE* file = std::fopen(path.c_str(), "ab");
    if (file == nullptr) {
        *error = "cannot open " + path + " to append to: " + std::strerror(errno);
        return nullptr;
    }
    std::fseek(file, 0, SEEK_END);
    if (std::ftell(file) == 0 && !header.empty())
        std::fprintf(file, "%.*s\n", static_cast<int>(header.size()), header.data());
    std::fflush(file);
    return file;
}

void CloseLog(FILE* file)
{
    if (file != nullptr)
        std::fclose(file);
}

}  // namespace

// ---------------------------------------------------------------------------
// Tag files

int LoadTagFile(Context& context, const std::string& path, std::vector<Tag>* tags)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return Complain(EXIT_USAGE, "cannot read the tag file " + path + ": " + std::strerror(errno));
    const std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());

    if (int status = StartWithoutPort(context); status != EXIT_DONE)
        return status;
    Session& session = context.session;
    const AddressParser probe = [&session](const std::string& text, bool block, uint32_t tagType, int32_t count,
                                           DriverAddress* address) {
        return session.ProbeParse(text, block, tagType, count, address);
    };
    const AddressValidator validate = [&](const Tag& tag, DriverAddress* address, std::string* why) {
        const bool block = tag.count > 1;
        const uint32_t tagType = tag.kind == ValueKind::Bit ? TAG_TYPE_BIT : TAG_TYPE_WORD;
        if (probe(tag.text, block, tagType, tag.count, address) == SUCCESS)
            return true;
        *why = RejectionHint(probe, tag.text, block, tagType, tag.count);
        return false;
    };
    TagFile parsed = ParseTagFile(content, path, validate);
    if (!parsed.Ok()) {
        session.End();
        for (size_t i = 0; i + 1 < parsed.errors.size(); ++i)
            std::fprintf(stderr, "kivhost: %s\n", parsed.errors[i].Message().c_str());
        return Complain(EXIT_USAGE, parsed.errors.back().Message());
    }
    *tags = std::move(parsed.tags);
    return EXIT_DONE;
}

// ---------------------------------------------------------------------------
// scan

int RunScan(Context& context, const ScanOptions& scan)
{
    const Options& options = context.options;
    std::vector<Tag> tags;
    if (int status = LoadTagFile(context, scan.tagFile, &tags); status != EXIT_DONE)
        return status;
    ReadPlan plan = PlanReads(tags, scan.maxGap);
    FILE* out = context.output.Results();
    if (scan.plan) {
        context.session.End();
        const std::string text = options.json ? PlanJson(tags, plan, scan.maxGap, options.line) + "\n"
                                              : PlanText(tags, plan, scan.maxGap, options.line);
        std::fputs(text.c_str(), out);
        std::fflush(out);
        return EXIT_DONE;
    }

    std::string error;
    FILE* csv = nullptr;
    FILE* jsonl = nullptr;
    if (!scan.csvPath.empty() && (csv = OpenLog(scan.csvPath, CSV_HEADER, &error)) == nullptr) {
        context.session.End();
        return Complain(EXIT_USAGE, "--csv: " + error);
    }
    if (!scan.jsonlPath.empty() && (jsonl = OpenLog(scan.jsonlPath, "", &error)) == nullptr) {
        CloseLog(csv);
        context.session.End();
        return Complain(EXIT_USAGE, "--jsonl: " + error);
    }
    if (int status = OpenPort(context, options.line); status != EXIT_DONE) {
        CloseLog(csv);
        CloseLog(jsonl);
        return status;
    }

    size_t longestReply = 0;
    for (const ReadBlock& block : plan.blocks)
        longestReply = std::max(longestReply, ReplyBytes(block));
    CatchStopSignals(StopMessage(options.line, longestReply));

    ScanSettings settings;
    settings.retryDown = std::chrono::seconds(scan.retryDownS);
    ScanEngine engine(std::move(tags), std::move(plan), settings);
    ScanLine line(context.session);

    // Traces on the same terminal would tear a table drawn in place.
    const bool redraw = !options.json && !options.trace && CanRedraw(context.output);
    LiveTable table(out);
    TableView view;
    view.title = "kivhost scan " + scan.tagFile + " on " + options.line.port + " (" +
                 std::to_string(options.line.baud) + " " + FormatName(options.line) + ", time-out " +
                 std::to_string(options.line.timeoutUnits * 10) + " ms), every " + std::to_string(options.intervalMs) +
                 " ms" + (options.cycles == 0 ? ": Ctrl-C stops" : ", " + std::to_string(options.cycles) + " cycles");
    std::deque<std::string> events;

    const auto started = std::chrono::steady_clock::now();
    auto next = started;
    for (;;) {
        RunCycle(engine, line, &stopCount, &inExchange);
        const CycleStats& cycle = engine.Cycle();
        if (cycle.complete) {
            // The logs get whole cycles only, each flushed: a killed scan loses at most the one under way.
            for (size_t i = 0; i < engine.Tags().size(); ++i) {
                if (csv != nullptr)
                    std::fprintf(csv, "%s\n", CsvRow(engine, i).c_str());
                if (jsonl != nullptr)
                    std::fprintf(jsonl, "%s\n", JsonlRow(engine, i).c_str());
            }
            if (csv != nullptr)
                std::fflush(csv);
            if (jsonl != nullptr)
                std::fflush(jsonl);
        }
        for (const ScanEvent& event : engine.Events()) {
            const std::string text = IsoTime(event.time).substr(11, 12) + " " + EventText(engine, event);
            if (redraw) {
                events.push_back(text);
                if (events.size() > EVENTS_SHOWN)
                    events.pop_front();
            } else {
                std::fprintf(stderr, "kivhost: %s %s\n", IsoTime(event.time).c_str(), EventText(engine, event).c_str());
                std::fflush(stderr);
            }
        }
        if (options.json && cycle.complete) {
            std::fprintf(out, "%s\n", CycleJson(engine).c_str());
        } else if (redraw) {
            TerminalSize(out, &view.width, &view.height);
            view.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            view.events.assign(events.begin(), events.end());
            table.Draw(TableLines(engine, view));
        } else if (cycle.complete) {
            std::fprintf(out, "%s\n", CycleLine(engine).c_str());
        }
        std::fflush(out);

        if (stopCount != 0 || (options.cycles != 0 && cycle.number >= options.cycles))
            break;
        // Cycles start at a steady pace; a slow cycle is followed at once.
        next += std::chrono::milliseconds(options.intervalMs);
        WaitUntil(next);
        if (stopCount != 0)
            break;
        if (std::chrono::steady_clock::now() > next + std::chrono::milliseconds(options.intervalMs))
            next = std::chrono::steady_clock::now();
    }
    context.session.End();
    CloseLog(csv);
    CloseLog(jsonl);

    if (engine.Failures() == 0)
        return EXIT_DONE;
    std::string down;
    for (const StationState& station : engine.Stations())
        if (station.down)
            down += std::string(down.empty() ? "" : ", ") + StationText(station.station) + " (" +
                    ReasonWords(station.reason) + " since " + IsoTime(station.downSince) + ")";
    return Complain(
        EXIT_FAILED,
        std::to_string(engine.Failures()) + " of " + std::to_string(engine.Exchanges()) + " block reads failed" +
            (down.empty() ? "; every station answered at the end" : "; not answering at the end: station " + down));
}

// ---------------------------------------------------------------------------
// stations

int RunStations(Context& context, const StationRange& range)
{
    const Options& options = context.options;
    if (int status = StartWithoutPort(context); status != EXIT_DONE)
        return status;
    LineOptions line = options.line;
    if (!line.timeoutGiven)
        line.timeoutUnits = SURVEY_TIMEOUT_UNITS;
    if (int status = OpenPort(context, line); status != EXIT_DONE)
        return status;
    ReadBlock oneWord;
    oneWord.start.operand = 'W';
    oneWord.count = 1;
    CatchStopSignals(StopMessage(line, ReplyBytes(oneWord)));

    FILE* out = context.output.Results();
    ScanLine reader(context.session);
    std::string list = "[";
    std::string answering;
    int answers = 0;
    int asked = 0;
    const auto started = std::chrono::steady_clock::now();
    if (!options.json) {
        std::fprintf(out, "Station   Answers  Time        Attempts  Reason\n");
        std::fflush(out);
    }
    for (int station = range.first; station <= range.last && stopCount == 0; ++station) {
        const std::string text = StationText(station) + "W0000";
        ReadBlock block;
        if (context.session.Parse(text, false, TAG_TYPE_WORD, 1, &block.start) != SUCCESS)
            continue;  // the driver's stations are 01 to 20; asked of each in that range
        block.count = 1;
        inExchange = 1;
        const BlockOutcome outcome = reader.Read(block);
        inExchange = 0;
        ++asked;
        // A station that answers, even to refuse W0000, is there.
        const bool there = outcome.result == SUCCESS || outcome.reason == Outcome::Nak;
        answers += there ? 1 : 0;
        if (there)
            answering += answering.empty() ? "" : " ";
        answering += StationText(station);
        std::string reason;
        if (outcome.result != SUCCESS) {
            reason = ReasonWords(outcome.reason);
            if (outcome.reason == Outcome::WrongStation && outcome.replyStation >= 0)
                reason += " (station " + StationText(outcome.replyStation) +
                          " answered: two stations with one "
                          "number, or a late answer)";
        }
        if (options.json) {
            if (list.size() > 1)
                list += ",";
            list += JsonObject()
                        .Number("station", station)
                        .Text("address", text)
                        .Raw("answers", there ? "true" : "false")
                        .Raw("ms", JsonNumber(outcome.ms))
                        .Number("attempts", outcome.attempts)
                        .Text("reason", outcome.result == SUCCESS ? "" : OutcomeName(outcome.reason))
                        .Done();
        } else {
            char row[64];
            const std::string name = StationText(station) + " (" + std::to_string(station) + ")";
            std::snprintf(row, sizeof row, "%-9s %-8s %8.2f ms %9d  ", name.c_str(), there ? "yes" : "no", outcome.ms,
                          outcome.attempts);
            std::fprintf(out, "%s%s\n", row, reason.c_str());
            std::fflush(out);
        }
    }
    context.session.End();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (options.json) {
        std::fprintf(out, "%s\n",
                     JsonObject()
                         .Text("command", "stations")
                         .Text("time", IsoTime(std::chrono::system_clock::now()))
                         .Number("timeout_ms", static_cast<long long>(line.timeoutUnits) * 10)
                         .Raw("stations", list + "]")
                         .Number("answering", answers)
                         .Done()
                         .c_str());
    } else {
        char summary[160];
        std::snprintf(summary, sizeof summary, "%d of %d stations answer (time-out %u ms, %.1f s in all)", answers,
                      asked, static_cast<unsigned>(line.timeoutUnits * 10), seconds);
        std::fprintf(out, "%s%s%s\n", summary, answering.empty() ? "" : ": ", answering.c_str());
    }
    std::fflush(out);
    if (answers > 0)
        return EXIT_DONE;
    return Complain(EXIT_FAILED, "no station answered from " + StationText(range.first) + " to " +
                                     StationText(range.last) +
                                     ": check the cable, --baud and the format against the PLCs; a slow line may need "
                                     "a longer --timeout");
}

}  // namespace kivhost
