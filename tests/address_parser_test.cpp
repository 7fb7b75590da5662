#include <gtest/gtest.h>

#include <string>

#include "address/address_parser.h"
#include "tests/case_name.h"
#include "tests/log_capture.h"

namespace {

using kiv::ParseMode;

constexpr const char* INVALID_FORMAT = "REVIZ: ParseAddress() Invalid Address Format";

struct ParseCase {
    const char* name;
    std::string text;
    uint32_t tagType;
    int32_t count;
    ParseMode mode;
    int32_t result;
    DriverAddress expected;  // station, operand, number, bit, width
    bool logged;
};

void PrintTo(const ParseCase& c, std::ostream* os)
{
    *os << c.name;
}

const ParseCase PARSE_CASES[] = {
    {"word", "01W0010", 0, 1, ParseMode::Single, SUCCESS, {1, 'W', 0x10, 255, 16}, false},
    {"word with trailing space", "01W0010 ", 0, 1, ParseMode::Single, SUCCESS, {1, 'W', 0x10, 255, 16}, false},
    {"word type 1", "01W0010", 1, 1, ParseMode::Single, SUCCESS, {1, 'W', 0x10, 255, 16}, false},
    {"word type 2", "01W0010", 2, 1, ParseMode::Single, REJECTED, {1, 'W', 0x10, 255, 16}, false},
    {"bit of word", "01w00105", 6, 1, ParseMode::Single, SUCCESS, {1, 'W', 0x10, 5, 16}, false},
    {"bit of word hex digit", "01W0010F", 6, 1, ParseMode::Single, SUCCESS, {1, 'W', 0x10, 15, 16}, false},
    {"bit digit on word tag", "01W00105", 0, 1, ParseMode::Single, REJECTED, {1, 'W', 0x10, 255, 16}, false},
    {"bit tag without digit", "01W0010", 6, 1, ParseMode::Single, REJECTED, {1, 'W', 0x10, 255, 16}, false},
    {"A byte and bit", "01A0107", 6, 1, ParseMode::Single, SUCCESS, {1, 'A', 0x107, 255, 1}, false},
    {"E byte and bit", "01E01F7", 6, 1, ParseMode::Single, SUCCESS, {1, 'E', 0x1F7, 255, 1}, false},
    {"A bit 8", "01A0108", 6, 1, ParseMode::Single, REJECTED, {1, 'A', 0, 255, 1}, false},
    {"A number 0x200", "01A0200", 6, 1, ParseMode::Single, REJECTED, {1, 'A', 0, 255, 1}, false},
    {"A bit digit ignored", "01A01075", 6, 1, ParseMode::Single, SUCCESS, {1, 'A', 0x107, 255, 1}, false},
    {"A on word tag type", "01A0107", 0, 1, ParseMode::Single, REJECTED, {1, 'A', 0x107, 255, 1}, false},
    {"station 0", "00B0000", 6, 1, ParseMode::Single, REJECTED, {0, 0, 0, 255, 1}, false},
    {"station 33", "21B0000", 6, 1, ParseMode::Single, REJECTED, {0, 0, 0, 255, 1}, false},
    {"station 32", "20B0000", 6, 1, ParseMode::Single, SUCCESS, {32, 'B', 0, 255, 1}, false},
    {"lower-case hex", "0aw00ff", 0, 1, ParseMode::Single, SUCCESS, {10, 'W', 0xFF, 255, 16}, false},
    {"unknown operand", "01C0000", 6, 1, ParseMode::Single, REJECTED, {0, 0, 0, 255, 1}, false},
    {"lower-case operand", "01b0000", 6, 1, ParseMode::Single, SUCCESS, {1, 'B', 0, 255, 1}, false},
    {"six characters", "02A1F7", 6, 1, ParseMode::Single, REJECTED, {2, 'A', 0, 255, 1}, true},
    {"three characters", "01W", 0, 1, ParseMode::Single, REJECTED, {1, 'W', 0, 255, 16}, true},
    {"two characters", "01", 0, 1, ParseMode::Single, REJECTED, {1, 0, 0, 255, 1}, false},
    {"one character", "1", 0, 1, ParseMode::Single, REJECTED, {0, 0, 0, 255, 1}, false},
    {"empty", "", 0, 1, ParseMode::Single, REJECTED, {0, 0, 0, 255, 1}, false},
    {"characters after the eighth",
     "01W0010 and more",
     0,
     1,
     ParseMode::Single,
     SUCCESS,
     {1, 'W', 0x10, 255, 16},
     false},
    {"byte above 0x7F in number", "01W001\xE9", 0, 1, ParseMode::Single, REJECTED, {0, 0, 0, 255, 1}, false},
    {"byte above 0x7F as operand",
     "01\xC1"
     "0010",
     0,
     1,
     ParseMode::Single,
     REJECTED,
     {0, 0, 0, 255, 1},
     false},
    {"byte above 0x7F as bit", "01W0010\xFF", 6, 1, ParseMode::Single, REJECTED, {0, 0, 0, 255, 1}, false},
    {"count 256", "01W0010", 0, 256, ParseMode::Single, REJECTED, {1, 'W', 0x10, 255, 16}, false},
    {"count 0", "01W0010", 0, 0, ParseMode::Single, SUCCESS, {1, 'W', 0x10, 255, 16}, false},
    {"count -1", "01W0010", 0, -1, ParseMode::Single, SUCCESS, {1, 'W', 0x10, 255, 16}, false},
    {"block count 255", "01W0010", 0, 255, ParseMode::Block, SUCCESS, {1, 'W', 0x10, 255, 16}, false},
    {"block count 256", "01W0010", 0, 256, ParseMode::Block, REJECTED, {1, 'W', 0x10, 255, 16}, false},
    {"block with bit digit", "01W00105", 6, 10, ParseMode::Block, REJECTED, {1, 'W', 0x10, 255, 16}, false},
    {"block ignores tag type", "01B0000", 99, 40, ParseMode::Block, SUCCESS, {1, 'B', 0, 255, 1}, false},
    {"block of A bits", "02A1F0", 0, 8, ParseMode::Block, REJECTED, {2, 'A', 0, 255, 1}, true},
};

class ParseAddressTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseAddressTest, ResultFieldsAndLog)
{
    const ParseCase& c = GetParam();
    LogCapture log;
    AddressParseBlock block{};
    block.text = c.text.c_str();
    block.tagType = c.tagType;
    block.count = c.count;
    block.address = {77, 77, 77, 77, 77};  // whatever the host left there

    EXPECT_EQ(kiv::ParseAddress(&block, c.mode), c.result);
    EXPECT_EQ(block.address.station, c.expected.station);
    EXPECT_EQ(block.address.operand, c.expected.operand);
    EXPECT_EQ(block.address.number, c.expected.number);
    EXPECT_EQ(block.address.bit, c.expected.bit);
    EXPECT_EQ(block.address.width, c.expected.width);
    if (c.logged)
        EXPECT_EQ(log.Lines(), (std::vector<LogLine>{{LEVEL_ERROR, INVALID_FORMAT}}));
    else
        EXPECT_TRUE(log.Lines().empty());
}

INSTANTIATE_TEST_SUITE_P(Texts, ParseAddressTest, ::testing::ValuesIn(PARSE_CASES), CaseName());

TEST(ParseAddress, TextWithoutNulWithinItsFirst256BytesIsReadNoFurther)
{
    // Only the first 256 bytes are the host's text; the parser must not run on.
    std::string text(256, ' ');
    text.replace(0, 7, "01W0010");
    AddressParseBlock block{};
    block.text = text.data();  // std::string adds a NUL at 256 only
    EXPECT_EQ(kiv::ParseAddress(&block, ParseMode::Block), SUCCESS);
}

struct NumberCase {
    const char* chars;
    int n;
    char mode;
    int32_t value;
};

TEST(ReadNumber, DigitsAndFailures)
{
    const NumberCase cases[] = {
        {"0010", 4, 'H', 0x10},
        {"ffFF", 4, 'H', 0xFFFF},
        {"aB", 2, 'X', 0xAB},
        {"19", 2, 'D', 19},
        {"1A", 2, 'D', -1},
        {"1G", 2, 'H', -1},
        {"1", 2, 'H', -1},
        {"\x80"
         "1",
         2, 'H', -1},
        {"12", 0, 'H', 0},
        {"7", 1, 'H', 7},
        // Eight digits and more wrap instead of overflowing.
        {"7FFFFFFF", 8, 'H', INT32_MAX},
        {"80000000", 8, 'H', INT32_MIN},
        {"123456789", 9, 'H', 0x23456789},
        {"4294967296", 10, 'D', 0},
    };
    for (const NumberCase& c : cases)
        EXPECT_EQ(kiv::ReadNumber(c.chars, c.n, c.mode), c.value) << c.chars << " " << c.mode;
}

}  // namespace
