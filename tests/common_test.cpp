// The tools' shared parts (kiv_common): values and their kinds, text for
// people and scripts (code page 437, JSON, CSV fields, line bytes on one
// line, time stamps), text cut to a terminal's width.
#include <poll.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/byte_text.h"
#include "common/csv_field.h"
#include "common/json_object.h"
#include "common/stop_signals.h"
#include "common/tag_text.h"
#include "common/time_stamp.h"
#include "common/tool_text.h"
#include "tests/case_name.h"
#include "tests/terminal_text.h"

namespace {

using namespace kivhost;

// ---------------------------------------------------------------------------
// Values and their kinds

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
                  .Objects("d", {JsonObject().Value("e", nullptr)})
                  .Text("b", "again")  // a key given again keeps its place
                  .Values("f", {1, 0xFFFF})
                  .Texts("g", {"x", "caf\xE9"})
                  .Object("h", JsonObject().Ms("ms", 12.3456))
                  .Done(),
              "{\"b\":\"again\",\"a\":-3,\"c\":true,\"d\":[{\"e\":null}],\"f\":[1,65535],"
              "\"g\":[\"x\",\"caf\xEF\xBF\xBD\"],\"h\":{\"ms\":12.346}}");
    // Rounded as printf rounds the double itself: 408.4915 is stored a little below.
    struct {
        double ms;
        double value;
    } const cases[] = {{1.5, 1.5}, {12.3456, 12.346}, {0.0004, 0.0}, {275.0, 275.0}, {408.4915, 408.491}};
    for (const auto& c : cases) {
        EXPECT_EQ(MsNumber(c.ms).get<double>(), c.value) << c.ms;
        EXPECT_EQ(Json::parse(JsonObject().Ms("ms", c.ms).Done())["ms"].get<double>(), c.value) << c.ms;
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

// ---------------------------------------------------------------------------
// Text cut to a terminal

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

// ---------------------------------------------------------------------------
// The run's one stop

// Asked for by Ctrl-C's handler on the main thread, or by another thread, it
// ends a wait on a third thread before its deadline, and its wake stands
// ready to be polled beside a line; asked before, the wait does not start;
// never asked, the deadline ends the wait and not sooner.
TEST(StopToken, EndsEveryWaitAtOnceAndTheDeadlineOnlyWhenUnasked)
{
    using namespace std::chrono_literals;
    enum class Ask { SignalOnMainThread, OtherThread, BeforeTheWait, Never };
    struct Row {
        const char* name;
        Ask ask;
    };
    const Row table[] = {
        {"Ctrl-C, its handler on the main thread", Ask::SignalOnMainThread},
        {"asked by another thread", Ask::OtherThread},
        {"asked before the wait", Ask::BeforeTheWait},
        {"never asked: the deadline ends the wait", Ask::Never},
    };
    StopToken& stop = CatchStopSignals();  // says nothing at the first
    for (const Row& row : table) {
        SCOPED_TRACE(row.name);
        stop.Reset();
        const bool asked = row.ask != Ask::Never;
        if (row.ask == Ask::BeforeTheWait)
            stop.Request();
        // Asked, the wait must end by the stop: a deadline this far off
        // would say it did not.
        const auto deadline = asked ? 60s : 200ms;
        std::atomic<bool> waiting{false};
        bool deadlineCame = false;
        std::chrono::steady_clock::duration took{};
        std::thread waiter([&] {
            const auto from = std::chrono::steady_clock::now();
            waiting = true;
            deadlineCame = stop.WaitUntil(from + deadline);
            took = std::chrono::steady_clock::now() - from;
        });
        while (!waiting)
            std::this_thread::yield();
        std::this_thread::sleep_for(50ms);  // the stimulus: asked while the waiter waits
        if (row.ask == Ask::SignalOnMainThread)
            std::raise(SIGINT);  // to this thread: the handler runs here
        else if (row.ask == Ask::OtherThread)
            std::thread([&stop] { stop.Request(); }).join();
        waiter.join();
        EXPECT_EQ(deadlineCame, !asked);
        EXPECT_EQ(stop.Requested(), asked);
        if (!asked) {
            EXPECT_GE(took, 200ms) << "the wait ended before its deadline";
        }
        pollfd wake{stop.Wake(), POLLIN, 0};
        EXPECT_EQ(poll(&wake, 1, 0), asked ? 1 : 0) << "the wake to poll beside a line";
    }
    stop.Reset();
}

}  // namespace
