// kivhost's own parts without a line: the command line, values, port names,
// the text shown to people and scripts, the rejection hints (from the driver
// beside the program, as kivhost loads it), the host's value arrays, the
// scan's decisions on a clock of the test's.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <functional>
#include <set>
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
#include "hosting/port_access.h"
#include "hosting/port_name.h"
#include "hosting/session.h"
#include "kivhost/cycle_loop.h"
#include "kivhost/kivhost_options.h"
#include "kivhost/live_view.h"
#include "scan/scan_engine.h"
#include "scan/scan_logs.h"
#include "scan/scan_messages.h"
#include "scan/scan_table.h"
#include "tests/case_name.h"
#include "wire/address_area.h"

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
// Values, kinds and port names

struct ValueCase {
    const char* name;
    const char* text;
    ValueKind kind;
    std::optional<uint16_t> value;
};

void PrintTo(const ValueCase& c, std::ostream* os)
{
    *os << c.name;
}

const ValueCase VALUE_CASES[] = {
    {"decimal", "4660", ValueKind::Word, 0x1234},
    {"hex", "0x1234", ValueKind::Word, 0x1234},
    {"hex upper X and letters", "0XabCD", ValueKind::Word, 0xABCD},
    {"largest", "65535", ValueKind::Word, 0xFFFF},
    {"largest hex", "0xFFFF", ValueKind::Word, 0xFFFF},
    {"one too many", "65536", ValueKind::Word, std::nullopt},
    {"negative", "-1", ValueKind::Word, std::nullopt},
    {"empty", "", ValueKind::Word, std::nullopt},
    {"trailing junk", "12a", ValueKind::Word, std::nullopt},
    {"hex without 0x is not taken", "ABCD", ValueKind::Word, std::nullopt},
    {"bit one", "1", ValueKind::Bit, 1},
    {"bit zero in hex", "0x0", ValueKind::Bit, 0},
    {"bit two", "2", ValueKind::Bit, std::nullopt},
};

class ValueText : public ::testing::TestWithParam<ValueCase> {};

TEST_P(ValueText, Parses)
{
    EXPECT_EQ(ParseValue(GetParam().text, GetParam().kind), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(Cases, ValueText, ::testing::ValuesIn(VALUE_CASES), CaseName());

TEST(AddressKind, WordsBitsAndBitsOfWords)
{
    struct {
        const char* text;
        ValueKind kind;
        uint32_t tagType;
    } const cases[] = {
        {"01W0010", ValueKind::Word, TAG_TYPE_WORD}, {"01W0010 ", ValueKind::Word, TAG_TYPE_WORD},
        {"01w00105", ValueKind::Bit, TAG_TYPE_BIT},  {"01B0100", ValueKind::Bit, TAG_TYPE_BIT},
        {"02a01F7", ValueKind::Bit, TAG_TYPE_BIT},   {"01E0010", ValueKind::Bit, TAG_TYPE_BIT},
        {"0", ValueKind::Word, TAG_TYPE_WORD},  // the driver will say what is wrong with it
    };
    for (const auto& c : cases) {
        EXPECT_EQ(GuessValueKind(c.text), c.kind) << c.text;
        EXPECT_EQ(DefaultTagType(c.text), c.tagType) << c.text;
    }
}

TEST(PortName, FitsTheDriversElevenCharacters)
{
    struct {
        const char* given;
        const char* driver;  // empty: refused
    } const cases[] = {
        {"COM1", "COM1"},
        {"ttyUSB0", "ttyUSB0"},
        {"/dev/ttyS0", "/dev/ttyS0"},
        {"/dev/ttyUSB0", "ttyUSB0"},
        {"/dev/pts/123", "pts/123"},
        {"/tmp/plc1", "/tmp/plc1"},
        {"/tmp/plc123456", ""},
        {"", ""},
        {"/dev/serial/by-id/x", ""},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_EQ(DriverPortName(c.given, &error), c.driver) << c.given;
        EXPECT_EQ(error.empty(), c.driver[0] != '\0') << c.given;
    }
}

TEST(PortPermission, AGroupIsAdvisedOnlyWhenItMayReadAndWrite)
{
    constexpr unsigned CHR = 0020000;
    struct {
        const char* name;
        unsigned mode, group;
        const char* groupName;
        std::vector<unsigned> userGroups;
        const char* says;
        bool joinGroup;  // "usermod -aG" advised
    } const cases[] = {
        {"dialout 660, not in it", CHR | 0660, 20, "dialout", {1000}, "sudo usermod -aG dialout $USER", true},
        {"dialout 660, in it", CHR | 0660, 20, "dialout", {1000, 20}, "an access list or a security module", false},
        {"root 600",
         CHR | 0600,
         0,
         "root",
         {1000},
         "its mode crw------- (owner root, group root) gives its group no",
         false},
        {"console 620 tty", CHR | 0620, 5, "tty", {1000}, "its mode crw--w---- (owner root, group tty)", false},
        {"group may only read", CHR | 0640, 20, "dialout", {1000}, "crw-r----- ", false},
        {"others may read and write, not the group", CHR | 0606, 20, "dialout", {1000}, "crw----rw- ", false},
    };
    for (const auto& c : cases) {
        const std::string advice = PermissionAdvice({c.mode, c.group, "root", c.groupName}, c.userGroups, "/dev/x");
        EXPECT_NE(advice.find(c.says), std::string::npos) << c.name << ": " << advice;
        EXPECT_EQ(advice.find("usermod") != std::string::npos, c.joinGroup) << c.name << ": " << advice;
        EXPECT_EQ(advice.find("udev rule") != std::string::npos, !c.joinGroup && c.userGroups.size() == 1)
            << c.name << ": " << advice;
    }
}

TEST(PortTerminal, OnlyDevicesATerminalDriverServes)
{
    const std::string drivers = "/dev/tty             /dev/tty        5       0 system:/dev/tty\n"
                                "serial               /dev/ttyS       4      64-111 serial\n"
                                "pty_slave            /dev/pts      136-143 0-1048575 pty:slave\n"
                                "usbserial            /dev/ttyUSB   188 0-511 serial\n";
    struct {
        unsigned major, minor;
        bool terminal;
    } const cases[] = {
        {4, 64, true},  {4, 111, true}, {4, 112, false}, {136, 3, true}, {143, 9, true},
        {188, 0, true}, {5, 0, true},   {5, 1, false},   {1, 3, false},  {144, 0, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TtyDriverServes(drivers, c.major, c.minor), c.terminal) << c.major << ":" << c.minor;
}

// ---------------------------------------------------------------------------
// Text

TEST(Cp437, FrameAndShadeCharactersOfTheBanner)
{
    struct {
        const char* cp437;
        const char* utf8;
    } const cases[] = {
        {"\xC9", "\xE2\x95\x94"},  // double down and right
        {"\xCD", "\xE2\x95\x90"}, {"\xBB", "\xE2\x95\x97"},
        {"\xBA", "\xE2\x95\x91"}, {"\xC8", "\xE2\x95\x9A"},
        {"\xBC", "\xE2\x95\x9D"}, {"\xB0", "\xE2\x96\x91"},
        {"\xB1", "\xE2\x96\x92"}, {"\xB2", "\xE2\x96\x93"},
        {"\xDB", "\xE2\x96\x88"}, {"\x80", "\xC3\x87"},
        {"\xE1", "\xC3\x9F"},     {"\xFF", "\xC2\xA0"},
        {"A z\n\t", "A z\n\t"},   {"\x01\x1B\x7F", "\\x01\\x1B\\x7F"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Cp437ToUtf8(c.cp437), c.utf8) << c.cp437;
}

TEST(Cp437, EveryHighByteHasItsOwnCharacter)
{
    std::set<std::string> seen;
    for (int byte = 0x80; byte <= 0xFF; ++byte) {
        const std::string utf8 = Cp437ToUtf8(std::string(1, static_cast<char>(byte)));
        EXPECT_TRUE(utf8.size() == 2 || utf8.size() == 3) << byte;
        EXPECT_GE(static_cast<unsigned char>(utf8[0]), 0xC2) << byte;
        seen.insert(utf8);
    }
    EXPECT_EQ(seen.size(), 128u);
}

TEST(BannerVersionLine, TheLineThatStatesTheVersionWithoutItsFrame)
{
    struct {
        const char* banner;
        const char* line;
    } const cases[] = {
        {"\n \xC9\xCD\xBB\n \xBA  PCON_NET \xBA\n \xBA  DAVODEV driver  Version 7.00      \xBA\n \xC8\xCD\xBC\n",
         "DAVODEV driver  Version 7.00"},
        {"Version 1 without a frame or a line feed", "Version 1 without a frame or a line feed"},
        {"\n \xBA no version here \xBA\n", ""},
        {"", ""},
        {nullptr, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BannerVersionLine(c.banner), c.line) << (c.banner == nullptr ? "null" : c.banner);
}

TEST(Json, StringsAreEscaped)
{
    EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(JsonString("\n\r\t\x01"), "\"\\n\\r\\t\\u0001\"");
    EXPECT_EQ(JsonString("\xE2\x95\x94"), "\"\xE2\x95\x94\"");  // UTF-8 passes
}

TEST(Json, ObjectsKeepTheirOrderAndNumbersTheValuePrintedToTheMicrosecond)
{
    EXPECT_EQ(JsonObject()
                  .Text("b", "x")
                  .Number("a", -3)
                  .Bool("c", true)
                  .Raw("d", "[1,{\"e\":null}]")
                  .Text("b", "again")  // a key given again keeps its place
                  .Done(),
              "{\"b\":\"again\",\"a\":-3,\"c\":true,\"d\":[1,{\"e\":null}]}");
    // Rounded as printf rounds the double itself: 408.4915 is stored a little below.
    struct {
        double ms;
        double value;
    } const cases[] = {{1.5, 1.5}, {12.3456, 12.346}, {0.0004, 0.0}, {275.0, 275.0}, {408.4915, 408.491}};
    for (const auto& c : cases) {
        EXPECT_EQ(MsNumber(c.ms).get<double>(), c.value) << c.ms;
        EXPECT_EQ(Json::parse(JsonNumber(c.ms)).get<double>(), c.value) << c.ms;
    }
    // Bytes that are not UTF-8 (a tag file in another code page) still make a result.
    EXPECT_EQ(JsonString("caf\xE9"), "\"caf\xEF\xBF\xBD\"");
}

TEST(CsvField, QuotedOnlyWhereAReaderWouldSplitOrTrimIt)
{
    struct {
        const char* text;
        const char* field;
    } const cases[] = {
        {"", ""},
        {"pump 1 speed", "pump 1 speed"},
        {"/01RW0010012C\\r", "/01RW0010012C\\r"},
        {"cm, tanks", "\"cm, tanks\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"two\nlines", "\"two\nlines\""},
        {" padded ", "\" padded \""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CsvField(c.text), c.field) << c.text;
    EXPECT_EQ(CsvLine({"a", "b,c", ""}), "a,\"b,c\",");
}

TEST(VisibleBytes, OneLineWithEscapesAndAnOptionalCutOff)
{
    struct {
        std::string bytes;
        std::vector<bool> shown;
        size_t most;
        const char* text;
    } const cases[] = {
        {"/N01RW0010\r", {}, SIZE_MAX, "/N01RW0010\\r"},
        {std::string("a\n\\\"\0\xFF", 6), {}, SIZE_MAX, "a\\n\\\\\"\\x00\\xFF"},
        {"AB", {true, false}, SIZE_MAX, "A\\x??"},
        {"/A01RW1234ABCD1F\r", {}, 12, "/A01RW1234AB..."},
        {"/A01RW1234AB", {}, 12, "/A01RW1234AB"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(VisibleBytes(c.bytes, c.shown, c.most), c.text) << c.text;
}

TEST(UtcTimestamp, MillisecondsMicrosecondsAndTheTimeOfDay)
{
    const int64_t unixUs = 1796681617123456;  // 2026-12-07T22:13:37.123456Z
    const auto time = std::chrono::system_clock::time_point(std::chrono::microseconds(unixUs));
    EXPECT_EQ(UtcTimestamp(time), "2026-12-07T22:13:37.123Z");
    EXPECT_EQ(UtcTimestampUs(unixUs), "2026-12-07T22:13:37.123456Z");
    EXPECT_EQ(UtcTimestampUs(0), "1970-01-01T00:00:00.000000Z");
    EXPECT_EQ(UtcClockTime(time), "22:13:37.123");
}

TEST(ElementAddress, RunsGoOnAsThePlcCountsThem)
{
    struct {
        DriverAddress address;
        int index;
        const char* text;
    } const cases[] = {
        {{1, 'W', 0x0010, NO_BIT, 16}, 0, "01W0010"}, {{1, 'W', 0x0010, NO_BIT, 16}, 1, "01W0011"},
        {{1, 'W', 0xFFFF, NO_BIT, 16}, 1, "01W0000"}, {{1, 'W', 0x0010, 5, 16}, 0, "01W00105"},
        {{1, 'B', 0x0100, NO_BIT, 1}, 3, "01B0103"},  {{2, 'A', 0x01F7, NO_BIT, 1}, 0, "02A01F7"},
        {{2, 'A', 0x01F7, NO_BIT, 1}, 1, "02A0200"},  // bit 7 is a byte's last
        {{32, 'E', 0x0013, NO_BIT, 1}, 6, "20E0021"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ElementAddress(c.address, c.index), c.text) << c.text;
}

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
// The host's value array

TEST(ValueArray, BitRunsArePackedLeastSignificantFirst)
{
    const DriverAddress bits{1, 'B', 0x100, NO_BIT, 1};
    std::vector<uint16_t> run(17, 0);
    run[0] = run[2] = run[16] = 1;
    const std::vector<uint16_t> array = PackValues(bits, run);
    ASSERT_GE(array.size(), 2u);
    EXPECT_EQ(array[0], 0x0005);
    EXPECT_EQ(array[1], 0x0001);
    EXPECT_EQ(UnpackValues(bits, 17, array), run);
}

// ---------------------------------------------------------------------------
// The scan's decisions: which blocks a cycle asks, what the tags come to

struct EngineStep {
    double at;              // seconds since the first cycle
    std::string reads;      // the blocks asked, in order, and what each came to: "0g 1s"
    std::string qualities;  // of tags 0, 1, 2 after the cycle: g f d r
};

struct EngineCase {
    const char* name;
    std::vector<EngineStep> steps;
};

void PrintTo(const EngineCase& c, std::ostream* os)
{
    *os << c.name;
}

// Three tags, a block each: station 01, then 02 with two blocks. Retried
// every 10 s. g good, s silent (no reply), n not acknowledged, r rejected,
// b bad data (taken by the driver, its data damaged).
const EngineCase ENGINE_CASES[] = {
    {"a silent station is asked again only when its retry is due",
     {{0, "0g 1s", "gfd"}, {5, "0g", "gdd"}, {9.9, "0g", "gdd"}, {10.1, "0g 1g 2g", "ggg"}}},
    {"a failed retry keeps the station's other blocks waiting",
     {{0, "0g 1s", "gfd"}, {10.1, "0g 1s", "gfd"}, {15, "0g", "gdd"}, {20.2, "0g 1g 2g", "ggg"}}},
    {"a station silent on its second block is set aside from there",
     {{0, "0g 1g 2s", "ggf"}, {1, "0g", "gdd"}, {10.1, "0g 1g 2g", "ggg"}}},
    {"a refused block is set aside alone: its station answers",
     {{0, "0g 1n 2g", "gfg"}, {5, "0g 2g", "gdg"}, {10.1, "0g 1g 2g", "ggg"}}},
    {"a read the driver rejects costs no time and is asked every cycle",
     {{0, "0g 1r 2g", "grg"}, {1, "0g 1r 2g", "grg"}}},
    {"damaged data is not good, and its station is still asked",
     {{0, "0g 1b 2g", "gbg"}, {1, "0g 1g 2b", "ggb"}, {2, "0g 1g 2g", "ggg"}}},
};

class ScanDecisions : public ::testing::TestWithParam<EngineCase> {};

TEST_P(ScanDecisions, BlocksAskedAndQualities)
{
    std::vector<Tag> tags(3);
    tags[0].address = {1, 'W', 0x10, NO_BIT, 16};
    tags[1].address = {2, 'B', 0x10, NO_BIT, 1};
    tags[2].address = {2, 'W', 0x10, NO_BIT, 16};
    ReadPlan plan = PlanReads(tags, DEFAULT_MAX_GAP);
    ASSERT_EQ(plan.blocks.size(), 3u);
    ScanSettings settings;
    settings.retryDown = std::chrono::seconds(10);
    ScanEngine engine(tags, plan, settings);

    const ScanMoment start = ScanMoment::Now();
    for (const EngineStep& step : GetParam().steps) {
        ScanMoment now = start;
        now.steady += std::chrono::milliseconds(static_cast<long>(step.at * 1000));
        now.wall += std::chrono::milliseconds(static_cast<long>(step.at * 1000));
        engine.BeginCycle(now);
        std::string asked;
        for (size_t read = 0; const std::optional<size_t> block = engine.NextBlock(now); ++read) {
            const size_t at = read * 3 + 1;  // "0g 1s": what the read comes to
            const char kind = at < step.reads.size() ? step.reads[at] : 'g';
            BlockOutcome outcome;
            outcome.attempts = kind == 'r' ? 0 : 1;
            if (kind == 'g') {
                outcome.elements.assign(1, 7);
            } else if (kind == 'b') {
                outcome.elements.assign(1, 0xFFFF);  // what the driver makes of digits that are not hex
                outcome.doubt = Doubt::BadData;
            } else {
                outcome.result = kind == 'r' ? REJECTED : RECOVERY_ERROR;
                outcome.reason = kind == 's' ? Outcome::NoReply : kind == 'n' ? Outcome::Nak : Outcome::Good;
                outcome.attempts = kind == 'r' ? 0 : 4;
            }
            asked += (asked.empty() ? "" : " ") + std::to_string(*block) + kind;
            engine.Record(*block, outcome, now);
        }
        engine.EndCycle(now, true);
        EXPECT_EQ(asked, step.reads) << "at " << step.at << " s";
        std::string qualities;
        for (const TagState& state : engine.States()) {
            qualities += QualityName(state.quality)[0];
            EXPECT_NE(state.values, std::vector<uint16_t>{0xFFFF}) << "a damaged value kept, at " << step.at << " s";
        }
        EXPECT_EQ(qualities, step.qualities) << "at " << step.at << " s";
    }
}

INSTANTIATE_TEST_SUITE_P(Cycles, ScanDecisions, ::testing::ValuesIn(ENGINE_CASES), CaseName());

// ---------------------------------------------------------------------------
// What a field engineer sees: text cut to a terminal, the live redraw, the
// scan's table, the note on cycles overrunning --interval

size_t Characters(const std::string& utf8)
{
    size_t n = 0;
    for (char c : utf8)
        n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

TEST(Cut, NeverHalfACharacterNorOneATerminalWouldActOn)
{
    const struct {
        std::string text;
        size_t width;
        std::string cut;
    } cases[] = {
        {"pump 1", 10, "pump 1"},
        {"pump 1", 6, "pump 1"},
        {"pump 12", 6, "pump \u2026"},
        {"F\u00f6rderpumpe", 3, "F\u00f6\u2026"},         // the marker after a whole two-byte character
        {"\u2550\u2550\u2550\u2550", 2, "\u2550\u2026"},  // three-byte characters
        {"ab", 1, "\u2026"},
        {"ab", 0, ""},
        {"F\xf6rder", 10, "F?rder"},       // Latin-1, not UTF-8
        {"a\xe2\x95", 10, "a??"},          // a character cut off at the end
        {"a\tb\x1b[2Jc", 20, "a?b?[2Jc"},  // a tab, an escape
        {"x\xc2\x9by", 10, "x??y"},        // a C1 control
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Cut(c.text, c.width), c.cut) << c.text << " in " << c.width;
        EXPECT_EQ(Fit(c.text, c.width), c.cut + std::string(c.width - Characters(c.cut), ' ')) << c.text;
    }
}

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

std::string Trimmed(std::string text)
{
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

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

// Twelve tags of one station, the first a run of four words.
ScanEngine TwelveTags()
{
    std::vector<Tag> tags(12);
    for (size_t i = 0; i < tags.size(); ++i) {
        tags[i].name = "tag " + std::to_string(i);
        tags[i].address = {1, 'W', static_cast<int32_t>(0x100 * i), NO_BIT, 16};
        tags[i].text = ElementAddress(tags[i].address, 0);
    }
    tags[0].name = "tank levels";
    tags[0].count = 4;
    ReadPlan plan = PlanReads(tags, DEFAULT_MAX_GAP);
    ScanEngine engine(tags, plan, ScanSettings{});
    const ScanMoment now = ScanMoment::Now();
    engine.BeginCycle(now);
    while (const std::optional<size_t> block = engine.NextBlock(now)) {
        BlockOutcome outcome;
        outcome.attempts = 1;
        for (int32_t i = 0; i < engine.Plan().blocks[*block].count; ++i)
            outcome.elements.push_back(static_cast<uint16_t>(1000 + i));
        engine.Record(*block, outcome, now);
    }
    engine.EndCycle(now, true);
    return engine;
}

TEST(ScanTable, ARunIsOneRowAndPagesFollowOnWithoutOverlap)
{
    const ScanEngine engine = TwelveTags();
    for (const auto& [width, height] : std::vector<std::pair<int, int>>{{60, 14}, {60, 12}, {30, 9}}) {
        TableView view;
        view.width = width;
        view.height = height;
        view.title = "kivhost scan tags.csv on /dev/ttyUSB0 (9600 7E1, time-out 1000 ms), every 500 ms";
        std::vector<std::string> seen;  // the tags, in the order the pages showed them
        std::set<std::string> previous;
        for (int drawing = 0; drawing < 12; ++drawing) {
            // Events come and go: the room for tags changes from one drawing to the next.
            view.events.assign(static_cast<size_t>(drawing % 3), "01:38:14.372 station 2 (02) answers again");
            view.seconds = 3.0 * drawing;
            const std::vector<std::string> lines = TableLines(engine, view);
            const std::string at =
                std::to_string(width) + "x" + std::to_string(height) + ", drawing " + std::to_string(drawing);
            EXPECT_LE(lines.size(), static_cast<size_t>(height - 1)) << at;
            std::set<std::string> page;
            for (const std::string& line : lines) {
                const std::string name = Trimmed(line.substr(0, 16));
                if (name == "tank levels") {
                    EXPECT_NE(line.find("1000 1001 1002 1003"), std::string::npos) << at << ": " << line;
                } else if (!name.starts_with("tag ")) {
                    continue;
                }
                page.insert(name);
                seen.push_back(name);
            }
            ASSERT_NE(lines[lines.size() - 1 - view.events.size()].find("turning every"), std::string::npos) << at;
            for (const std::string& name : page)
                EXPECT_EQ(previous.count(name), 0u) << at << ": " << name << " on the page before too";
            previous = page;
        }
        // Page after page, every tag once before the first comes again.
        ASSERT_GT(seen.size(), 12u);
        for (size_t i = 0; i < 12; ++i)
            EXPECT_EQ(seen[i], engine.Tags()[i].name) << width << "x" << height;
    }
}

TEST(ScanLogs, ARunHasACsvRowPerElementWithItsOwnAddress)
{
    const ScanEngine engine = TwelveTags();
    const std::vector<std::string> run = CsvRows(engine, 0);
    ASSERT_EQ(run.size(), 4u);
    EXPECT_TRUE(run[3].ends_with(",tank levels[3],01W0003,1003,good,,1")) << run[3];
    const std::vector<std::string> single = CsvRows(engine, 1);
    ASSERT_EQ(single.size(), 1u);
    EXPECT_TRUE(single[0].ends_with(",tag 1,01W0100,1000,good,,1")) << single[0];
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

// How long a station or block was set aside is told by the steady clock: the
// system time set while it was away does not change it; the events' time
// stamps still show the wall clock.
TEST(ScanDecisions, BackAgainCarriesTheSteadyDuration)
{
    using std::chrono::hours;
    const struct {
        const char* name;
        Outcome failure;  // of block 1 (station 02) in the first cycle
        std::chrono::system_clock::duration wallJump;
        ScanEvent::Kind back;
    } cases[] = {
        {"a silent station, the clock set back an hour", Outcome::NoReply, -hours(1), ScanEvent::Kind::StationBack},
        {"a silent station, the clock set on a day", Outcome::NoReply, hours(24), ScanEvent::Kind::StationBack},
        {"a refused block, the clock set back an hour", Outcome::Nak, -hours(1), ScanEvent::Kind::BlockBack},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Tag> tags(3);
        tags[0].address = {1, 'W', 0x10, NO_BIT, 16};
        tags[1].address = {2, 'B', 0x10, NO_BIT, 1};
        tags[2].address = {2, 'W', 0x10, NO_BIT, 16};
        ScanSettings settings;
        settings.retryDown = std::chrono::seconds(10);
        ScanEngine engine(tags, PlanReads(tags, DEFAULT_MAX_GAP), settings);
        BlockOutcome good;
        good.elements.assign(1, 7);
        good.attempts = 1;
        BlockOutcome failed;
        failed.result = RECOVERY_ERROR;
        failed.reason = c.failure;
        failed.attempts = 4;

        ScanMoment now = ScanMoment::Now();
        engine.BeginCycle(now);
        while (const std::optional<size_t> block = engine.NextBlock(now))
            engine.Record(*block, *block == 1 ? failed : good, now);
        engine.EndCycle(now, true);

        now.steady += std::chrono::milliseconds(10100);
        now.wall += std::chrono::milliseconds(10100) + c.wallJump;
        engine.BeginCycle(now);
        while (const std::optional<size_t> block = engine.NextBlock(now))
            engine.Record(*block, good, now);
        engine.EndCycle(now, true);

        const std::vector<ScanEvent>& events = engine.Events();
        const auto back =
            std::find_if(events.begin(), events.end(), [&](const ScanEvent& e) { return e.kind == c.back; });
        ASSERT_NE(back, events.end());
        EXPECT_NEAR(back->downSeconds, 10.1, 1e-9);
        EXPECT_EQ(back->time, now.wall);
        EXPECT_NE(EventText(engine, *back).find("again, after 10.1 s set aside"), std::string::npos)
            << EventText(engine, *back);
    }
}
}  // namespace
