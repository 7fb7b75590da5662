#include <gtest/gtest.h>

#include <string>

#include "protocol/exchange.h"
#include "tests/case_name.h"
#include "tests/log_capture.h"
#include "tests/stdout_capture.h"

namespace {

struct TraceCase {
    const char* name;
    std::string bytes;
    bool logLines;
    std::string printed;
    std::vector<std::string> logged;  // each logged as LEVEL_INFO "       %s"
};

void PrintTo(const TraceCase& c, std::ostream* os)
{
    *os << c.name;
}

const std::string LINE_A(33, 'a');

std::string Repeated(const std::string& text, int times)
{
    std::string out;
    for (int i = 0; i < times; ++i)
        out += text;
    return out;
}

const TraceCase TRACE_CASES[] = {
    {"frame of 14 is one line", "/01RW0010022D\r", false, "(/01RW0010022D.)\n", {}},
    {"nothing prints nothing", "", true, "", {}},
    {"66 bytes are exactly two lines", LINE_A + LINE_A, true, "(" + LINE_A + ")\n(" + LINE_A + ")\n", {LINE_A, LINE_A}},
    {"last short line is printed not logged", LINE_A + "xy\r", true, "(" + LINE_A + ")\n(xy.)\n", {LINE_A}},
    {"no logging when sending", LINE_A + "b", false, "(" + LINE_A + ")\n(b)\n", {}},
    {"zero byte ends the text but counts",
     std::string("ab\0cd", 5) + std::string(28, 'e') + "fgh",
     true,
     "(ab)\n(fgh)\n",
     {"ab"}},
    {"line of zeros prints empty parentheses", std::string(3, '\0'), true, "()\n", {}},
    {"full line starting with zero", std::string(1, '\0') + std::string(32, 'z'), true, "()\n", {""}},
    {"CR anywhere shows as a dot", "\r\r/A\r", false, "(../A.)\n", {}},
    {"twenty unlogged lines print whole", Repeated(LINE_A, 20), false, Repeated("(" + LINE_A + ")\n", 20), {}},
};

class TraceDumpTest : public ::testing::TestWithParam<TraceCase> {};

TEST_P(TraceDumpTest, PrintsAndLogsLines)
{
    const TraceCase& c = GetParam();
    LogCapture log;
    StdoutCapture out;
    kiv::TraceDump(reinterpret_cast<const uint8_t*>(c.bytes.data()), static_cast<uint32_t>(c.bytes.size()), c.logLines);
    EXPECT_EQ(out.Take(), c.printed);
    std::vector<LogLine> expected;
    for (const std::string& text : c.logged)
        expected.push_back({LEVEL_INFO, "       " + text});
    EXPECT_EQ(log.Lines(), expected);
}

INSTANTIATE_TEST_SUITE_P(Bytes, TraceDumpTest, ::testing::ValuesIn(TRACE_CASES), CaseName());

}  // namespace
