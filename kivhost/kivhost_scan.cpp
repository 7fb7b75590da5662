#include "kivhost_scan.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>

#include "block_planner.h"
#include "kivhost_hint.h"
#include "scan_output.h"
#include "stop_signals.h"
#include "tool_text.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#endif

namespace kivhost {
namespace {

constexpr uint32_t SURVEY_TIMEOUT_UNITS = 10;  // 100 ms, unless --timeout says otherwise
constexpr size_t EVENTS_SHOWN = 3;

// ---------------------------------------------------------------------------
// The terminal

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
    if (!file) {
        const std::string why = std::strerror(errno);
        context.session.End();
        return Complain(EXIT_USAGE, "cannot read the tag file " + path + ": " + why);
    }
    const std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());

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

int RunScan(Context& context)
{
    const Options& options = context.options;
    const ScanOptions& scan = options.scan;
    JsonObject json;
    json.Text("command", "scan");
    std::vector<Tag> tags;
    if (int status = StartChannel(context, json); status != EXIT_DONE)
        return status;
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
    if (int status = OpenLine(context, json); status != EXIT_DONE) {
        CloseLog(csv);
        CloseLog(jsonl);
        return status;
    }

    size_t longestReply = 0;
    for (const ReadBlock& block : plan.blocks)
        longestReply = std::max(longestReply, ReplyBytes(block));
    CatchStopSignals(options.line, longestReply);

    ScanSettings settings;
    settings.retryDown = std::chrono::seconds(scan.retryDownS);
    ScanEngine engine(std::move(tags), std::move(plan), settings);
    ScanLine line(context.session, context.reporter, options.line.TimeoutMs());

    // Traces on the same terminal would tear a table drawn in place.
    const bool traceOnTerminal = options.trace != TraceMode::Off && options.traceFile.empty();
    const bool redraw = !options.json && !traceOnTerminal && CanRedraw(context.output);
    LiveTable table(out);
    TableView view;
    view.title = "kivhost scan " + scan.tagFile + " on " + options.line.portGivenAs + " (" +
                 std::to_string(options.line.baud) + " " + options.line.FormatText() + ", time-out " +
                 std::to_string(options.line.TimeoutMs()) + " ms), every " + std::to_string(options.intervalMs) +
                 " ms" + (options.cycles == 0 ? ": Ctrl-C stops" : ", " + std::to_string(options.cycles) + " cycles");
    std::deque<std::string> events;

    const auto started = std::chrono::steady_clock::now();
    auto next = started;
    for (;;) {
        RunCycle(engine, line, &stopRequested, &inExchange);
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
            const std::string time = UtcTimestamp(event.time);
            if (redraw) {
                events.push_back(time.substr(11, 12) + " " + EventText(engine, event));
                if (events.size() > EVENTS_SHOWN)
                    events.pop_front();
            } else {
                std::fprintf(stderr, "kivhost: %s %s\n", time.c_str(), EventText(engine, event).c_str());
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

        if (stopRequested != 0 || (options.cycles != 0 && cycle.number >= options.cycles))
            break;
        // Cycles start at a steady pace; a slow cycle is followed at once.
        next += std::chrono::milliseconds(options.intervalMs);
        SleepUntilOrStop(next);
        if (stopRequested != 0)
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
    for (const StationState& station : engine.Stations()) {
        if (!station.down)
            continue;
        down += down.empty() ? "" : ", ";
        down += StationText(station.station) + " (" + OutcomeText(station.reason) + " since " +
                UtcTimestamp(station.downSince) + ")";
    }
    return Complain(EXIT_FAILED,
                    std::to_string(engine.Failures()) + " of " + std::to_string(engine.Exchanges()) +
                        " block reads failed" +
                        (down.empty() ? "; every station answered at the end" : "; not answering at the end: " + down));
}

// ---------------------------------------------------------------------------
// stations

int RunStations(Context& context)
{
    // A short time-out unless one is given: most stations asked may be absent.
    Options options = context.options;
    if (!options.line.timeoutGiven)
        options.line.timeoutUnits = SURVEY_TIMEOUT_UNITS;
    Context survey{options, context.session, context.output, context.library};
    const StationRange& range = options.range;
    JsonObject json;
    json.Text("command", "stations");
    if (int status = StartChannel(survey, json); status != EXIT_DONE)
        return status;
    if (int status = OpenLine(survey, json); status != EXIT_DONE)
        return status;
    ReadBlock oneWord;
    oneWord.start.operand = 'W';
    oneWord.count = 1;
    CatchStopSignals(options.line, ReplyBytes(oneWord));

    FILE* out = context.output.Results();
    ScanLine reader(context.session, survey.reporter, options.line.TimeoutMs());
    std::string list = "[";
    std::string answering;
    int answers = 0;
    int asked = 0;
    const auto started = std::chrono::steady_clock::now();
    if (!options.json) {
        std::fprintf(out, "Station   Answers      Time  Attempts  Reason\n");
        std::fflush(out);
    }
    for (int station = range.first; station <= range.last && stopRequested == 0; ++station) {
        char text[16];
        std::snprintf(text, sizeof text, "%02XW0000", static_cast<unsigned>(station));
        ReadBlock block;
        block.count = 1;
        if (context.session.Parse(text, false, TAG_TYPE_WORD, 1, &block.start) != SUCCESS)
            continue;
        inExchange = 1;
        const BlockOutcome outcome = reader.Read(block);
        inExchange = 0;
        ++asked;
        // A station that answers, even to refuse W0000, is there.
        const bool there = outcome.result == SUCCESS || outcome.reason == Outcome::Nak;
        if (there) {
            ++answers;
            answering += answering.empty() ? "" : ", ";
            answering += StationText(station);
        }
        std::string reason;
        if (outcome.result != SUCCESS) {
            reason = OutcomeText(outcome.reason);
            if (outcome.reason == Outcome::WrongStation && outcome.answeringStation >= 0)
                reason += ": station " + StationText(outcome.answeringStation) +
                          " answered (two stations with one number, or a late answer)";
        }
        if (options.json) {
            if (list.size() > 1)
                list += ",";
            JsonObject row;
            row.Number("station", station)
                .Text("address", text)
                .Bool("answers", there)
                .Raw("ms", JsonNumber(outcome.ms))
                .Number("attempts", outcome.attempts)
                .Text("reason", outcome.result == SUCCESS ? "" : OutcomeName(outcome.reason));
            if (!outcome.message.empty())
                row.Text("message", outcome.message);
            list += row.Done();
        } else {
            std::fprintf(out, "%-9s %-8s %8.2f ms %9d  %s\n", StationText(station).c_str(), there ? "yes" : "no",
                         outcome.ms, outcome.attempts, reason.c_str());
            std::fflush(out);
        }
    }
    context.session.End();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (options.json) {
        std::fprintf(out, "%s\n",
                     JsonObject()
                         .Text("command", "stations")
                         .Text("time", UtcTimestamp())
                         .Number("timeout_ms", options.line.TimeoutMs())
                         .Raw("stations", list + "]")
                         .Number("answering", answers)
                         .Done()
                         .c_str());
    } else {
        char summary[160];
        std::snprintf(summary, sizeof summary, "%d of %d stations answer (time-out %u ms, %.1f s in all)", answers,
                      asked, static_cast<unsigned>(options.line.TimeoutMs()), seconds);
        std::fprintf(out, "%s%s%s\n", summary, answering.empty() ? "" : ": ", answering.c_str());
    }
    std::fflush(out);
    if (answers > 0)
        return EXIT_DONE;
    return Complain(EXIT_FAILED, "no station answered from " + StationText(range.first) + " to " +
                                     StationText(range.last) +
                                     ": check the cable, and that --baud and --format match the PLCs; a slow line "
                                     "may need a longer --timeout");
}

}  // namespace kivhost
