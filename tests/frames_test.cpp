#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "protocol/frames.h"
#include "tests/case_name.h"

namespace {

IoBlock MakeIo(int32_t station, char operand, int32_t number, int32_t bit, int32_t count, uint16_t* values)
{
    IoBlock io{};
    io.address = {station, operand, number, bit, operand == 'W' ? 16 : 1};
    io.count = count;
    io.values = values;
    return io;
}

std::string Frame(uint32_t (*build)(const IoBlock&, uint8_t*), const IoBlock& io)
{
    std::array<uint8_t, TX_AREA_SIZE> tx{};
    const uint32_t n = build(io, tx.data());
    return std::string(reinterpret_cast<const char*>(tx.data()), n);
}

struct FrameCase {
    const char* name;
    bool write;
    int32_t station;
    char operand;
    int32_t number;
    int32_t bit;
    int32_t count;
    std::vector<uint16_t> values;
    std::string frame;
};

void PrintTo(const FrameCase& c, std::ostream* os)
{
    *os << c.name;
}

const FrameCase FRAME_CASES[] = {
    {"read 2 words", false, 1, 'W', 0x0010, 255, 2, {0, 0}, "/01RW0010022D\r"},
    {"read 1 A bit", false, 2, 'A', 0x01F7, 255, 1, {0, 0}, "/02RA1F,70130\r"},
    {"read 20 B bits", false, 1, 'B', 0x0100, 255, 20, {0, 0}, "/01RB0100141B\r"},
    {"write 1 word", true, 1, 'W', 0x0010, 255, 1, {0xDEAD, 0x1234}, "/01SW0010011234F7\r"},
    {"write 3 bits", true, 2, 'B', 0x0100, 255, 3, {0b101, 0}, "/02SB010003101AD\r"},
    {"set bit 5", true, 1, 'W', 0x0010, 5, 1, {0, 1}, "/01X100105s53\r"},
    {"reset bit 5", true, 1, 'W', 0x0010, 5, 1, {0, 2}, "/01X100105r52\r"},
};

class FrameTableTest : public ::testing::TestWithParam<FrameCase> {};

TEST_P(FrameTableTest, ByteForByte)
{
    FrameCase c = GetParam();
    IoBlock io = MakeIo(c.station, c.operand, c.number, c.bit, c.count, c.values.data());
    EXPECT_EQ(Frame(c.write ? kiv::BuildWriteFrame : kiv::BuildReadFrame, io), c.frame);
}

INSTANTIATE_TEST_SUITE_P(Requests, FrameTableTest, ::testing::ValuesIn(FRAME_CASES), CaseName());

// The checksum is the low byte of the sum of everything between "/" and itself.
void ExpectChecksumHolds(const std::string& frame)
{
    ASSERT_GE(frame.size(), 4u);
    unsigned sum = 0;
    for (size_t i = 1; i + 3 < frame.size(); ++i)
        sum += static_cast<unsigned char>(frame[i]);
    char expected[3];
    snprintf(expected, sizeof expected, "%02X", sum & 0xFF);
    EXPECT_EQ(frame.substr(frame.size() - 3, 2), expected) << frame;
    EXPECT_EQ(frame.back(), '\r');
}

TEST(Frames, LongestWriteFitsAndSumsWrapAround)
{
    std::vector<uint16_t> values(255, 0xFFFF);
    IoBlock io = MakeIo(32, 'W', 0xFFFF, 255, 255, values.data());
    const std::string frame = Frame(kiv::BuildWriteFrame, io);
    EXPECT_EQ(frame.size(), 1034u);
    EXPECT_EQ(frame.substr(0, 10), "/20SWFFFFF");
    ExpectChecksumHolds(frame);
}

TEST(Frames, BitRunsCrossElementBoundaries)
{
    // 17 bits: the last character is bit 0 of element 1.
    uint16_t values[2] = {0x8001, 0x0001};
    IoBlock io = MakeIo(1, 'B', 0, 255, 17, values);
    std::string frame = Frame(kiv::BuildWriteFrame, io);
    EXPECT_EQ(frame.substr(11, 17), "10000000000000011");
    ExpectChecksumHolds(frame);

    values[1] = 0xFFFE;  // bits beyond the run do not leak into it
    frame = Frame(kiv::BuildWriteFrame, io);
    EXPECT_EQ(frame.substr(11, 17), "10000000000000010");
}

TEST(Frames, CountZeroAndSingleBitsUseElementOne)
{
    uint16_t values[2] = {1, 0};
    // element 0 is 1 but element 1 is 0: the bit written is 0.
    std::string frame = Frame(kiv::BuildWriteFrame, MakeIo(1, 'B', 0x0100, 255, 1, values));
    EXPECT_EQ(frame.substr(0, 12), "/01SB0100010");
    ExpectChecksumHolds(frame);

    frame = Frame(kiv::BuildWriteFrame, MakeIo(3, 'E', 0x0012, 255, 0, values));
    EXPECT_EQ(frame.substr(0, 10), "/03SE01,20");
    EXPECT_EQ(frame.size(), 14u);
    ExpectChecksumHolds(frame);
}

struct DecodeCase {
    const char* name;
    char operand;
    int32_t count;
    std::string data;
    std::vector<uint16_t> expected;  // the whole array after decoding; it starts as 0xAAAA each
};

void PrintTo(const DecodeCase& c, std::ostream* os)
{
    *os << c.name;
}

const DecodeCase DECODE_CASES[] = {
    {"one word in element 1", 'W', 1, "1234", {0xAAAA, 0x1234, 0xAAAA}},
    {"lower-case hex", 'W', 2, "abcdABCD", {0xABCD, 0xABCD, 0xAAAA}},
    {"non-hex digit gives FFFF and goes on", 'W', 3, "12G40010ffff", {0xFFFF, 0x0010, 0xFFFF}},
    {"single bit 1", 'B', 1, "1", {0xAAAA, 1, 0xAAAA}},
    {"single bit 0", 'A', 1, "0", {0xAAAA, 0, 0xAAAA}},
    {"20 bits", 'B', 20, "10000000000000011011", {0x8001, 0x000D, 0xAAAA}},
    {"16 bits fill one element", 'E', 16, "0000000000000001", {0x8000, 0xAAAA, 0xAAAA}},
    {"other characters are clear bits", 'B', 3, "1x1", {0x0005, 0xAAAA, 0xAAAA}},
    {"count 0 writes nothing", 'W', 0, "", {0xAAAA, 0xAAAA, 0xAAAA}},
};

class DecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, FillsExactlyTheElementsOfTheCount)
{
    const DecodeCase& c = GetParam();
    std::vector<uint16_t> values(c.expected.size(), 0xAAAA);
    IoBlock io = MakeIo(1, c.operand, 0, 255, c.count, values.data());
    EXPECT_EQ(kiv::DecodeReplyData(io, reinterpret_cast<const uint8_t*>(c.data.data())), SUCCESS);
    EXPECT_EQ(values, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Replies, DecodeTest, ::testing::ValuesIn(DECODE_CASES), CaseName());

TEST(Frames, ExpectedReplyLengths)
{
    uint16_t values[2] = {};
    EXPECT_EQ(kiv::ReadReplyRest(MakeIo(1, 'W', 0, 255, 2, values)), 10u);
    EXPECT_EQ(kiv::ReadReplyRest(MakeIo(1, 'W', 0, 255, 255, values)), 1022u);
    EXPECT_EQ(kiv::ReadReplyRest(MakeIo(1, 'B', 0, 255, 20, values)), 22u);
    EXPECT_EQ(kiv::ReadReplyRest(MakeIo(1, 'A', 0, 255, 0, values)), 2u);
}

}  // namespace
