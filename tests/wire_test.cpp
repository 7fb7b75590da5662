// The line protocol as the tools read it (kiv_wire): element addresses,
// requests taken apart (those the driver builds among them), replies read
// against the request they answer.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "hosting/session.h"
#include "protocol/frames.h"
#include "tests/case_name.h"
#include "tests/framed.h"
#include "tests/pcon_cases.h"
#include "wire/address_area.h"
#include "wire/pcon_frame.h"

namespace {

using namespace kivhost;

// ---------------------------------------------------------------------------
// Element addresses

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

// ---------------------------------------------------------------------------
// Requests as they are sent

struct RequestCase {
    const char* name;
    std::string frame;
    bool valid;
    FrameCommand command;
    std::string address;
    int count;
    std::vector<uint16_t> values;
    bool checksumPresent;
    bool checksumOk;
};
void PrintTo(const RequestCase& c, std::ostream* os)
{
    PrintCaseName(c, os);
}

const RequestCase REQUEST_CASES[] = {
    {"read 2 words", "/01RW0010022D\r", true, FrameCommand::Read, "01W0010", 2, {}, true, true},
    {"read a bit of A", "/02RA1F,70130\r", true, FrameCommand::Read, "02A01F7", 1, {}, true, true},
    {"read 20 bits of B", "/01RB0100141B\r", true, FrameCommand::Read, "01B0100", 20, {}, true, true},
    {"write a word", "/01SW0010011234F7\r", true, FrameCommand::Write, "01W0010", 1, {0x1234}, true, true},
    {"write 3 bits", "/02SB010003101AD\r", true, FrameCommand::Write, "02B0100", 3, {1, 0, 1}, true, true},
    {"set a bit of a word", "/01X100105s53\r", true, FrameCommand::Set, "01W00105", 1, {1}, true, true},
    {"reset it", "/01X100105r52\r", true, FrameCommand::Reset, "01W00105", 1, {0}, true, true},
    {"wrong checksum", "/01RW0010022E\r", true, FrameCommand::Read, "01W0010", 2, {}, true, false},
    {"no checksum, no CR", "/01RW001002", true, FrameCommand::Read, "01W0010", 2, {}, false, false},
    {"write shorter than its count", "/01SW001002123404\r", false, FrameCommand::Write, "", 0, {}, false, false},
    {"a reply is no request", Framed("A01RW0001"), false, FrameCommand::Read, "", 0, {}, false, false},
    {"characters after the checksum", "/01RW0010022D0\r", false, FrameCommand::Read, "", 0, {}, false, false},
    {"A without its comma", "/02RA1F70130\r", false, FrameCommand::Read, "", 0, {}, false, false},
};

class RequestDecoding : public ::testing::TestWithParam<RequestCase> {};

TEST_P(RequestDecoding, FieldsAndChecksum)
{
    const RequestCase& c = GetParam();
    const PconRequest r = DecodeRequest(c.frame);
    ASSERT_EQ(r.valid, c.valid) << r.error;
    EXPECT_EQ(LooksLikeRequest(c.frame), c.frame[1] != 'A');
    if (!c.valid) {
        EXPECT_FALSE(r.error.empty());
        return;
    }
    EXPECT_EQ(r.command, c.command);
    EXPECT_EQ(r.Address(), c.address);
    EXPECT_EQ(r.count, c.count);
    EXPECT_EQ(r.values, c.values);
    EXPECT_EQ(r.checksumPresent, c.checksumPresent);
    EXPECT_EQ(r.checksumOk, c.checksumOk);
}

INSTANTIATE_TEST_SUITE_P(Frames, RequestDecoding, ::testing::ValuesIn(REQUEST_CASES), CaseName());

// Every kind of frame the driver builds decodes back to what it was built
// from, so the tools read on a line what the driver meant to send.
struct DriverFrameCase {
    const char* name;
    bool write;
    DriverAddress address;
    std::vector<uint16_t> elements;  // a write's values; of a read's, only how many
    FrameCommand command;
};
void PrintTo(const DriverFrameCase& c, std::ostream* os)
{
    PrintCaseName(c, os);
}

std::vector<uint16_t> Run(size_t count, uint16_t value)
{
    return std::vector<uint16_t>(count, value);
}

const DriverFrameCase DRIVER_FRAME_CASES[] = {
    {"read 2 words", false, {1, 'W', 0x0010, NO_BIT, 16}, Run(2, 0), FrameCommand::Read},
    {"read 255 words to the last", false, {32, 'W', 0xFF01, NO_BIT, 16}, Run(255, 0), FrameCommand::Read},
    {"read 20 bits of B", false, {0x1F, 'B', 0x0100, NO_BIT, 1}, Run(20, 0), FrameCommand::Read},
    {"read a bit of A", false, {2, 'A', 0x01F7, NO_BIT, 1}, Run(1, 0), FrameCommand::Read},
    {"read 16 bits of E", false, {1, 'E', 0x0003, NO_BIT, 1}, Run(16, 0), FrameCommand::Read},
    {"write a word", true, {1, 'W', 0x0010, NO_BIT, 16}, {0x1234}, FrameCommand::Write},
    {"write 255 words, the sum wraps", true, {10, 'W', 0x0000, NO_BIT, 16}, Run(255, 0xFFFF), FrameCommand::Write},
    {"write a bit of B", true, {1, 'B', 0xFFFF, NO_BIT, 1}, {1}, FrameCommand::Write},
    {"write 17 bits of B",
     true,
     {2, 'B', 0x0100, NO_BIT, 1},
     {1, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1},
     FrameCommand::Write},
    {"write bits of A across a byte", true, {1, 'A', 0x0007, NO_BIT, 1}, {1, 0, 1}, FrameCommand::Write},
    {"write a bit of E", true, {1, 'E', 0x01F0, NO_BIT, 1}, {1}, FrameCommand::Write},
    {"set a bit of a word", true, {1, 'W', 0x0010, 5, 16}, {1}, FrameCommand::Set},
    {"reset the top bit of the last word", true, {3, 'W', 0xFFFF, 15, 16}, {0}, FrameCommand::Reset},
};

class DriverFrameDecoding : public ::testing::TestWithParam<DriverFrameCase> {};

TEST_P(DriverFrameDecoding, FieldsComeBackAsBuilt)
{
    const DriverFrameCase& c = GetParam();
    std::vector<uint16_t> values = PackValues(c.address, c.elements);
    values.resize(260);
    IoBlock io{};
    io.address = c.address;
    io.count = static_cast<int32_t>(c.elements.size());
    io.values = values.data();
    std::array<uint8_t, TX_AREA_SIZE> tx{};
    const uint32_t n = c.write ? kiv::BuildWriteFrame(io, tx.data()) : kiv::BuildReadFrame(io, tx.data());
    const std::string frame(reinterpret_cast<const char*>(tx.data()), n);

    const PconRequest r = DecodeRequest(frame);
    ASSERT_TRUE(r.valid) << frame << ": " << r.error;
    EXPECT_TRUE(r.endsWithCr) << frame;
    EXPECT_TRUE(r.checksumPresent && r.checksumOk) << frame;
    EXPECT_EQ(r.command, c.command) << frame;
    EXPECT_EQ(r.station, c.address.station) << frame;
    EXPECT_EQ(r.operand, c.address.operand) << frame;
    EXPECT_EQ(r.number, c.address.number) << frame;
    EXPECT_EQ(r.bit, c.address.bit == NO_BIT ? -1 : c.address.bit) << frame;
    EXPECT_EQ(r.count, io.count) << frame;
    EXPECT_EQ(r.values, c.write ? c.elements : std::vector<uint16_t>()) << frame;
}

INSTANTIATE_TEST_SUITE_P(Driver, DriverFrameDecoding, ::testing::ValuesIn(DRIVER_FRAME_CASES), CaseName());

// ---------------------------------------------------------------------------
// Replies, read against the request they answer

struct ReplyCase {
    const char* name;
    std::string request;
    std::string reply;
    Outcome outcome;
    std::vector<uint16_t> values;
    bool checksumOk;
};
void PrintTo(const ReplyCase& c, std::ostream* os)
{
    PrintCaseName(c, os);
}

std::string BadChecksum(std::string frame)
{
    frame[frame.size() - 2] = frame[frame.size() - 2] == '0' ? '1' : '0';
    return frame;
}

const ReplyCase REPLY_CASES[] = {
    {"two words", READ_2W, Framed("A01RW1234ABCD"), Outcome::Good, {0x1234, 0xABCD}, true},
    {"lower-case digits read the same", READ_2W, Framed("A01RW1234abcd"), Outcome::Good, {0x1234, 0xABCD}, true},
    {"digits not hex read as FFFF", READ_2W, Framed("A01RW12G4ABCD"), Outcome::Good, {0xFFFF, 0xABCD}, true},
    {"checksum off is still good",
     READ_2W,
     BadChecksum(Framed("A01RW1234ABCD")),
     Outcome::Good,
     {0x1234, 0xABCD},
     false},
    {"longer than asked is judged as far as read",
     READ_2W,
     Framed("A01RW1234ABCD") + "junk",
     Outcome::Good,
     {0x1234, 0xABCD},
     true},
    {"twenty bits",
     READ_20B,
     Framed("A01RB10100000000000000001"),
     Outcome::Good,
     {1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1},
     true},
    {"not acknowledged", READ_2W, Framed("N01RW1234ABCD"), Outcome::Nak, {0x1234, 0xABCD}, true},
    {"another station", READ_2W, Framed("A02RW1234ABCD"), Outcome::WrongStation, {0x1234, 0xABCD}, true},
    {"header cut short", READ_2W, "/A01R", Outcome::Short, {}, false},
    {"data cut short", READ_2W, "/A01RW1234AB", Outcome::Short, {0x1234}, false},
    {"noise", READ_2W, "\xFF\xFE\x80", Outcome::Garbled, {}, false},
    {"zero byte in the header",
     READ_2W,
     std::string("/A\0"
                 "1RW1234ABCD00\r",
                 16),
     Outcome::Garbled,
     {0x1234, 0xABCD},
     false},
    {"nothing", READ_2W, "", Outcome::NoReply, {}, false},
    {"write acknowledged", WRITE_W, Framed("A01SW"), Outcome::Good, {}, true},
    {"write acknowledged by another station", WRITE_W, Framed("A02SW"), Outcome::Good, {}, true},
    {"write not acknowledged", WRITE_W, Framed("N01SW"), Outcome::Nak, {}, true},
    {"write reply cut short", WRITE_W, "/A01S", Outcome::Short, {}, false},
};

class ReplyDecoding : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyDecoding, VerdictValuesAndChecksum)
{
    const ReplyCase& c = GetParam();
    const PconRequest request = DecodeRequest(c.request);
    ASSERT_TRUE(request.valid);
    EXPECT_EQ(OutcomeName(JudgeReply(request, c.reply)), std::string(OutcomeName(c.outcome)));
    const PconReply reply = DecodeReply(c.reply, request);
    EXPECT_EQ(reply.values, c.values);
    EXPECT_EQ(reply.checksumOk, c.checksumOk);
}

INSTANTIATE_TEST_SUITE_P(Frames, ReplyDecoding, ::testing::ValuesIn(REPLY_CASES), CaseName());

}  // namespace
