// kivhost's own parts without a line: the command line, the rejection hints
// (from the driver beside the program, as kivhost loads it), the live
// redraw and the note on cycles overrunning --interval.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "common/byte_text.h"
#include "common/csv_field.h"
#include "common/json_object.h"
#include "common/time_stamp.h"
#include "common/tool_text.h"
#include "fieldkit/parser_hint.h"
#include "hosting/dorvak.h"
#include "hosting/driver_library.h"
#include "kivhost/cycle_loop.h"
#include "kivhost/kivhost_options.h"
#include "kivhost/live_view.h"
#include "tests/case_name.h"
#include "tests/terminal_text.h"

namespace {

using namespace kivhost;

// ---------------------------------------------------------------------------
// Command lines refused before anything is loaded or opened

struct RefusedCase {
    const char* name;
    std::vector<std::string> args;
    const char* says;  // part of the one-line message
};

void PrintTo(const RefusedCase& c, std::ostream* os)
{
    *os << c.name;
}

const RefusedCase REFUSED_CASES[] = {
    {"nothing", {}, "no command given"},
    {"unknown command", {"reed", "01W0010"}, "unknown command \"reed\""},
    {"unknown option", {"--speed", "9600", "info"}, "unknown option --speed"},
    {"option without its value", {"read", "01W0010", "--port"}, "--port needs a value"},
    {"flag with a value", {"--json=yes", "info"}, "--json takes no value"},
    {"baud above 16 bits", {"--port", "COM1", "--baud", "115200", "read", "01W0010"}, "50 to 65535"},
    {"data bits", {"--port", "COM1", "--data-bits", "9", "read", "01W0010"}, "5 to 8"},
    {"parity", {"--port", "COM1", "--parity", "x", "read", "01W0010"}, "none, odd, even, mark or space"},
    {"format", {"--port", "COM1", "--format", "9N1", "read", "01W0010"}, "data bits 5 to 8"},
    {"format and its parts that disagree",
     {"--port", "COM1", "--format", "7E1", "--parity", "none", "read", "01W0010"},
     "--format 7E1 and --parity none disagree"},
    {"stop bits", {"--port", "COM1", "--stop-bits", "3", "read", "01W0010"}, "1, 1.5 or 2"},
    {"timeout off the 10 ms grid", {"--port", "COM1", "--timeout", "125", "read", "01W0010"}, "try 120 or 130"},
    {"timeout too short", {"--port", "COM1", "--timeout", "5", "read", "01W0010"}, "10 to 60000"},
    {"port too long", {"--port", "/tmp/a-long-link", "read", "01W0010"}, "longer than the driver's 11 characters"},
    {"dev path still too long", {"--port", "/dev/serial/by-id/usb-1", "read", "01W0010"}, "ln -s"},
    {"count zero for read", {"--port", "COM1", "read", "01W0010", "--count", "0"}, "1 to 255"},
    {"count zero for parse as for read", {"parse", "01W0010", "--count", "0"}, "1 to 255"},
    {"count not a number", {"--port", "COM1", "read", "01W0010", "--count", "0x"}, "1 to 255"},
    {"count above a frame", {"--port", "COM1", "poll", "01W0010", "--count", "256"}, "1 to 255"},
    {"count for write", {"--port", "COM1", "write", "01W0010", "1", "--count", "2"}, "--count does not apply to write"},
    {"interval for read",
     {"--port", "COM1", "read", "01W0010", "--interval", "10"},
     "--interval does not apply to read"},
    {"read without address", {"--port", "COM1", "read"}, "read takes one address"},
    {"write without value", {"--port", "COM1", "write", "01W0010"}, "write takes an address and its values"},
    {"word value too big", {"--port", "COM1", "write", "01W0010", "65536"}, "0 to 65535"},
    {"address longer than the driver reads",
     {"--port", "COM1", "write", "01W001000", "1"},
     "the driver would read only \"01W00100\""},
    {"address before its value", {"--port", "COM1", "write", "01W0010ZZZ", "5"}, "\"01W0010ZZZ\" is not an address"},
    {"parse of a long text", {"parse", "01B010012345"}, "at most 8 characters"},
    {"bit digit where it means nothing", {"parse", "01B01001"}, "write 01B0100"},
    {"address before the port", {"--port", "/tmp/a-long-link", "read", "01W001000"}, "is not an address"},
    {"command option before the command",
     {"--count", "2", "--port", "COM1", "read", "01W0010"},
     "goes after the command"},
    {"trace mode", {"--trace=bin", "info"}, "--trace=hex or --trace=raw"},
    {"word bit with two values", {"--port", "COM1", "write", "01W00105", "1", "0"}, "takes one value"},
    {"info with an argument", {"info", "01W0010"}, "info takes no arguments"},
    {"demo with a port", {"demo", "--port", "COM1"}, "leave out --port"},
    {"demo's stations without the driver's port", {"demo", "--sim-port", "COM2"}, "give the port joined to it"},
    {"demo's two ports one", {"--port", "COM2", "demo", "--sim-port", "COM2"}, "name one port"},
    {"version with a command", {"info", "--version"}, "--version takes no command"},
    {"trace file that is the csv log",
     {"--port", "COM1", "--trace-file", "s.csv", "scan", "t.csv", "--csv", "./s.csv"},
     "--trace-file and --csv name the same file"},
    {"csv and jsonl in one file",
     {"--port", "COM1", "scan", "t.csv", "--csv", "log", "--jsonl", "log"},
     "--csv and --jsonl name the same file"},
    {"log over the tag file", {"--port", "COM1", "scan", "t.csv", "--jsonl", "t.csv"}, "--jsonl names the tag file"},
    {"trace over poll's tag file",
     {"--port", "COM1", "--trace-file", "p.csv", "poll", "--tags", "p.csv"},
     "--trace-file names the --tags file"},
    {"monitor's logs in one file",
     {"monitor", "--port", "/tmp/tap", "--csv", "m.log", "--jsonl", "m.log"},
     "--csv and --jsonl name the same file"},
    {"plan with a log", {"scan", "t.csv", "--plan", "--csv", "s.csv"}, "--plan only prints the block reads; --csv"},
    {"plan with jsonl", {"scan", "t.csv", "--plan", "--jsonl", "s.jsonl"}, "--jsonl applies to the cycles"},
    {"plan with cycles", {"scan", "t.csv", "--plan", "--cycles", "3"}, "--cycles applies to the cycles"},
    {"plan with an interval", {"scan", "t.csv", "--interval", "10", "--plan"}, "--interval applies"},
#if !defined(_WIN32)
    {"no port on Linux", {"read", "01W0010"}, "no port given"},
    // One file through a link: the same inode, not the same path.
    {"one file by two names",
     {"--port", "COM1", "--trace-file", "/proc/self/root/etc/passwd", "scan", "t.csv", "--csv", "/etc/passwd"},
     "--trace-file and --csv name the same file"},
    {"monitor on a fresh pseudo-terminal master", {"monitor", "--port", "/dev/ptmx"}, "cannot listen on /dev/ptmx"},
    {"monitor on ptmx by name", {"monitor", "--port", "ptmx"}, "cannot listen on ptmx"},
    {"monitor rate termios has no name for", {"monitor", "--port", "/tmp/tap", "--baud", "12345"}, "standard rates"},
#endif
};

class RefusedCommandLine : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedCommandLine, SaysWhatIsWrongOnOneLine)
{
    const CommandLine line = ParseCommandLine(GetParam().args);
    EXPECT_FALSE(line.options.has_value());
    EXPECT_NE(line.error.find(GetParam().says), std::string::npos) << line.error;
    EXPECT_EQ(line.error.find('\n'), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Cases, RefusedCommandLine, ::testing::ValuesIn(REFUSED_CASES), CaseName());

// ---------------------------------------------------------------------------
// Command lines taken

TEST(CommandLine, DefaultsAreWhatUsersOfThesePlcsExpect)
{
    const CommandLine line = ParseCommandLine({"read", "01W0010", "--port", "COM1"});
    ASSERT_TRUE(line.options) << line.error;
    const LineOptions& port = line.options->line;
    EXPECT_EQ(port.port, "COM1");
    EXPECT_EQ(port.baud, 9600);
    EXPECT_EQ(port.dataBits, 8);
    EXPECT_EQ(port.parity, 0);
    EXPECT_EQ(port.stopBits, 0);
    EXPECT_EQ(port.timeoutUnits, 100u);
    EXPECT_EQ(line.options->count, 1);
}

TEST(CommandLine, LineOptionsBecomeTheDriversCodes)
{
    const CommandLine line = ParseCommandLine(
        {"--port=ttyUSB0", "--baud", "19200",  "--data-bits", "7",       "--parity",   "EVEN", "--stop-bits", "1.5",
         "--timeout",      "250",    "poll",   "01W0010",     "01B0100", "--interval", "0",    "--cycles",    "3",
         "--count",        "4",      "--json", "--trace"});
    ASSERT_TRUE(line.options) << line.error;
    const Options& o = *line.options;
    EXPECT_EQ(o.command, Command::Poll);
    EXPECT_EQ(o.line.port, "ttyUSB0");
    EXPECT_EQ(o.line.baud, 19200);
    EXPECT_EQ(o.line.dataBits, 7);
    EXPECT_EQ(o.line.parity, 2);
    EXPECT_EQ(o.line.stopBits, 1);
    EXPECT_EQ(o.line.timeoutUnits, 25u);
    EXPECT_EQ(o.addresses, (std::vector<std::string>{"01W0010", "01B0100"}));
    EXPECT_EQ(o.intervalMs, 0u);
    EXPECT_EQ(o.cycles, 3u);
    EXPECT_EQ(o.count, 4);
    EXPECT_TRUE(o.json);
    EXPECT_EQ(o.trace, TraceMode::Text);
}

TEST(CommandLine, NumbersAndLineFormatsAreReadAsTheyAreWritten)
{
    struct {
        std::vector<std::string> args;
        std::function<void(const Options&)> check;
    } const cases[] = {
        {{"--port", "COM1", "read", "01W0010", "--count", "0x10"}, [](const Options& o) { EXPECT_EQ(o.count, 16); }},
        {{"--port", "COM1", "--parity", "e", "read", "01W0010"}, [](const Options& o) { EXPECT_EQ(o.line.parity, 2); }},
        {{"--port", "COM1", "--parity", "O", "read", "01W0010"}, [](const Options& o) { EXPECT_EQ(o.line.parity, 1); }},
        {{"--port", "COM1", "--format", "7e1", "--parity", "even", "read", "01W0010"},
         [](const Options& o) { EXPECT_EQ(o.line.FormatText(), "7E1"); }},
        {{"--port", "COM1", "--format", "8s2", "read", "01W0010"},
         [](const Options& o) {
             EXPECT_EQ(o.line.parity, 4);
             EXPECT_EQ(o.line.stopBits, 2);
         }},
        {{"--port", "COM1", "--format", "8N1.5", "--timeout", "0x64", "read", "01W0010"},
         [](const Options& o) {
             EXPECT_EQ(o.line.stopBits, 1);
             EXPECT_EQ(o.line.timeoutUnits, 10u);
         }},
        {{"--port", "COM1", "--baud", "0x4B00", "poll", "01W0010", "--interval", "0x1F4", "--cycles", "0x2"},
         [](const Options& o) {
             EXPECT_EQ(o.line.baud, 19200);
             EXPECT_EQ(o.intervalMs, 500u);
             EXPECT_EQ(o.cycles, 2u);
         }},
        {{"--port", "COM1", "write", "01w0010", "4660", "0xabcd", "0"},
         [](const Options& o) {
             EXPECT_EQ(o.values, (std::vector<uint16_t>{0x1234, 0xABCD, 0}));
         }},
        {{"--trace=hex", "info"}, [](const Options& o) { EXPECT_EQ(o.trace, TraceMode::Hex); }},
        {{"info", "--trace-file", "t.txt"},
         [](const Options& o) {
             EXPECT_EQ(o.trace, TraceMode::Text);
             EXPECT_EQ(o.traceFile, "t.txt");
         }},
        {{"--trace=raw", "--trace-file=t.txt", "info"}, [](const Options& o) { EXPECT_EQ(o.trace, TraceMode::Raw); }},
        {{"read", "--help"},
         [](const Options& o) { EXPECT_TRUE(o.helpText.starts_with("kivhost read: ")) << o.helpText; }},
    };
    for (const auto& c : cases) {
        const CommandLine line = ParseCommandLine(c.args);
        ASSERT_TRUE(line.options) << c.args.front() << ": " << line.error;
        c.check(*line.options);
    }
}

TEST(CommandLine, WrittenValuesMustFitTheParsedAddress)
{
    struct {
        DriverAddress address;
        std::vector<uint16_t> values;
        const char* says;  // "" for none
    } const cases[] = {
        {{1, 'W', 0x10, NO_BIT, 16}, {0xFFFF, 2}, ""},
        {{1, 'W', 0x10, 5, 16}, {2}, "a bit is 0 or 1"},
        {{1, 'B', 0x100, NO_BIT, 1}, {1, 0, 2}, "bad value \"2\""},
        {{2, 'A', 0x1F7, NO_BIT, 1}, {1}, ""},
    };
    for (const auto& c : cases) {
        std::vector<std::string> texts;
        for (uint16_t value : c.values)
            texts.push_back(std::to_string(value));
        const std::string problem = WriteValuesProblem(c.address, "X", texts, c.values);
        if (c.says[0] == '\0')
            EXPECT_EQ(problem, "");
        else
            EXPECT_NE(problem.find(c.says), std::string::npos) << problem;
    }
}

TEST(CommandLine, VersionStandsAloneAndTakesTheLibrary)
{
    const CommandLine line = ParseCommandLine({"--lib", "/opt/libDAVODEV.so", "--version"});
    ASSERT_TRUE(line.options) << line.error;
    EXPECT_EQ(line.options->command, Command::Version);
    EXPECT_EQ(line.options->library, "/opt/libDAVODEV.so");
}

TEST(CommandLine, ParseTakesAnyTypeForTheDriverToJudge)
{
    const CommandLine line = ParseCommandLine({"parse", "01W0010", "--count", "0x10", "--type", "7", "--block"});
    ASSERT_TRUE(line.options) << line.error;
    EXPECT_EQ(line.options->count, 16);
    EXPECT_EQ(line.options->tagType, 7u);
    EXPECT_TRUE(line.options->block);
}

// ---------------------------------------------------------------------------
// Why the driver refuses an address

TEST(RejectionHint, NamesTheLikelyFault)
{
    std::string error;
    const std::unique_ptr<DriverLibrary> driver = DriverLibrary::Load(DefaultLibraryPath(), &error);
    ASSERT_NE(driver, nullptr) << error;
    const KivMainFn entry = driver->Entry();
    const AddressParser parse = [entry](const std::string& text, bool block, uint32_t tagType, int32_t count,
                                        DriverAddress* address) {
        AddressParseBlock parseBlock{};
        parseBlock.text = text.c_str();
        parseBlock.tagType = tagType;
        parseBlock.count = count;
        DriverRequest request{};
        request.code = block ? CMD_BLOCK_ADDRESS_PARSER : CMD_SINGLE_ADDRESS_PARSER;
        request.params = &parseBlock;
        const int32_t result = entry(&request);
        *address = parseBlock.address;
        return result;
    };
    DorvakSetLogging(0);
    struct {
        const char* text;
        bool block;
        uint32_t tagType;
        int32_t count;
        const char* says;
    } const cases[] = {
        {"02A1F7", false, 6, 1, "seven characters"}, {"00W0010", false, 0, 1, "01 to 20"},
        {"21W0010", false, 0, 1, "01 to 20"},        {"01C0010", false, 0, 1, "operand is W"},
        {"01W00G0", false, 0, 1, "four hex digits"}, {"01W0010X", false, 6, 1, "bit digit"},
        {"01A0108", false, 6, 1, "bit from 0 to 7"}, {"01E0200", false, 6, 1, "byte from 000 to 01F"},
        {"01W0010", true, 0, 256, "at most 255"},    {"01W00105", true, 6, 2, "a bit of a word goes alone"},
        {"01W00105", false, 0, 1, "tag type 6"},     {"01W0010", false, 6, 1, "tag type 0 or 1"},
        {"01B0100", false, 0, 1, "take tag type 6"},
    };
    for (const auto& c : cases)
        EXPECT_NE(RejectionHint(parse, c.text, c.block, c.tagType, c.count).find(c.says), std::string::npos)
            << c.text << ": " << RejectionHint(parse, c.text, c.block, c.tagType, c.count);
    DorvakSetLogging(1);
}

// ---------------------------------------------------------------------------
// What a field engineer sees: the live redraw, the note on cycles
// overrunning --interval

// A terminal of width by height that wraps as soon as a character fills
// its last column (as some do), scrolls at the bottom, and knows the
// controls a redraw writes.
class Terminal {
public:
    Terminal(int width, int height)
        : width_(static_cast<size_t>(width)),
          cells_(static_cast<size_t>(height), std::vector<std::string>(static_cast<size_t>(width), " "))
    {
    }

    void Write(const std::string& text)
    {
        for (size_t i = 0; i < text.size();) {
            if (text[i] == '\x1b') {
                ASSERT_EQ(text[i + 1], '[') << text;
                size_t end = i + 2;
                while (std::isdigit(static_cast<unsigned char>(text[end])))
                    ++end;
                const int n = end > i + 2 ? std::stoi(text.substr(i + 2, end - i - 2)) : 0;
                Control(text[end], n);
                i = end + 1;
            } else if (text[i] == '\r') {
                col_ = 0;
                ++i;
            } else if (text[i] == '\n') {
                NewLine();
                ++i;
            } else {
                size_t length = 1;
                while ((static_cast<unsigned char>(text[i + length]) & 0xC0) == 0x80)
                    ++length;
                cells_[row_][col_] = text.substr(i, length);
                if (++col_ == width_)
                    NewLine();
                i += length;
            }
        }
    }

    // The rows with anything on them, their trailing spaces left out.
    std::vector<std::string> Shown() const
    {
        std::vector<std::string> rows;
        for (const std::vector<std::string>& cells : cells_) {
            std::string row;
            for (const std::string& cell : cells)
                row += cell;
            row.erase(row.find_last_not_of(' ') + 1);
            if (!row.empty())
                rows.push_back(row);
        }
        return rows;
    }

private:
    void Control(char code, int n)
    {
        switch (code) {
        case 'A': row_ -= std::min(row_, static_cast<size_t>(std::max(n, 1))); break;
        case 'H': row_ = col_ = 0; break;
        case 'K': Clear(row_, col_, row_ + 1); break;
        case 'J': Clear(n == 2 ? 0 : row_, n == 2 ? 0 : col_, cells_.size()); break;
        default: ADD_FAILURE() << "unexpected control " << code;
        }
    }
    void Clear(size_t row, size_t col, size_t endRow)
    {
        for (; row < endRow; ++row, col = 0)
            for (; col < width_; ++col)
                cells_[row][col] = " ";
    }
    void NewLine()
    {
        col_ = 0;
        if (row_ + 1 < cells_.size()) {
            ++row_;
        } else {
            cells_.erase(cells_.begin());
            cells_.emplace_back(width_, " ");
        }
    }

    size_t width_;
    std::vector<std::vector<std::string>> cells_;
    size_t row_ = 0;
    size_t col_ = 0;
};

TEST(LiveRedraw, EveryLineFitsAndWhatWasThereBeforeIsGone)
{
    const std::string wide = "01W0010   0x1234 0xABCD 0x0000 0x0000 0x0000 0x0000 ...       3       0       0";
    const std::vector<std::vector<std::string>> frames = {
        {"Address   Values                Good  Failed", wide, wide, "cycle 1 of 3, every 500 ms",
         "cycles take 4.1 s, more than --interval 500 ms"},
        std::vector<std::string>(30, "F\u00f6rderpumpe \u2550\u2550 " + wide),  // taller than the terminal
        {"Address   Values", "01W0010   0x1234"},                               // fewer and shorter: the rest cleared
        {},
        {"back"},
    };
    for (const auto& [width, height] : std::vector<std::pair<int, int>>{{60, 20}, {20, 8}, {9, 4}, {80, 2}}) {
        Terminal terminal(width, height);
        terminal.Write("$ kivhost poll\n");
        int drawn = 0;
        for (size_t f = 0; f < frames.size(); ++f) {
            const std::vector<std::string> screen = ScreenLines(frames[f], width, height);
            terminal.Write(RedrawText(screen, drawn, false));
            drawn = static_cast<int>(screen.size());
            const std::string at =
                std::to_string(width) + "x" + std::to_string(height) + ", frame " + std::to_string(f);

            EXPECT_LE(screen.size(), static_cast<size_t>(std::max(height - 1, 1))) << at;
            std::vector<std::string> expected;
            for (const std::string& line : screen) {
                EXPECT_LT(Characters(line), static_cast<size_t>(width)) << at << ": " << line;
                expected.push_back(Trimmed(line));
            }
            std::vector<std::string> shown = terminal.Shown();
            if (!shown.empty() && shown.front() == "$ kivhost poll")  // unless scrolled away
                shown.erase(shown.begin());
            EXPECT_EQ(shown, expected) << at;
        }
    }
}

// The size the table is drawn for, whatever the terminal reports: every
// line is padded to the width, so a pty saying 65535 must not be believed.
TEST(LiveRedraw, TerminalSizeIsKeptSane)
{
    const struct {
        int width, height;          // reported
        int saneWidth, saneHeight;  // drawn for
    } cases[] = {
        {120, 40, 120, 40},   {1, 1, 1, 1},       {0, 0, 80, 24},           {-5, 30, 80, 30},
        {500, 500, 500, 500}, {501, 24, 500, 24}, {65535, 65535, 500, 500},
    };
    for (const auto& c : cases) {
        int width = c.width;
        int height = c.height;
        SaneTerminalSize(&width, &height);
        EXPECT_EQ(std::make_pair(width, height), std::make_pair(c.saneWidth, c.saneHeight))
            << c.width << "x" << c.height;
    }
}

TEST(OverrunNote, SaidOnceAndAgainOnlyWhenTheTimeChangesByHalfOrDouble)
{
    const struct {
        const char* name;
        uint32_t intervalMs;
        std::vector<double> cycleMs;
        std::vector<std::string> said;  // per cycle
    } cases[] = {
        {"within the interval", 500, {100, 499, 500}, {"", "", ""}},
        {"once while it stays about the same",
         500,
         {1400, 1500, 1300},
         {"cycles take 1.4 s, more than --interval 500 ms", "", ""}},
        {"again when it doubles or halves",
         100,
         {150, 250, 320, 900, 420},
         {"cycles take 150 ms, more than --interval 100 ms", "", "cycles take 320 ms, more than --interval 100 ms",
          "cycles take 900 ms, more than --interval 100 ms", "cycles take 420 ms, more than --interval 100 ms"}},
        {"slow retry cycles among quick ones: once",
         500,
         {20, 4100, 20, 20, 4100, 20},
         {"", "cycles take 4.1 s, more than --interval 500 ms", "", "", "", ""}},
        {"no interval asked for", 0, {4100}, {""}},
    };
    for (const auto& c : cases) {
        OverrunNote note(c.intervalMs);
        for (size_t i = 0; i < c.cycleMs.size(); ++i) {
            EXPECT_EQ(note.Add(c.cycleMs[i]), c.said[i]) << c.name << ", cycle " << i;
            EXPECT_EQ(note.Current().empty(), c.cycleMs[i] <= c.intervalMs || c.intervalMs == 0) << c.name;
        }
    }
}

}  // namespace
