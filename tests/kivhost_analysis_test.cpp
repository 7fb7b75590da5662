// kivhost's line analysis without a line: frames taken apart, the driver's
// traces read back (printed by the driver's own exchanges over the fake
// port), a listening line split and paired, tag files and the block planner.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "address/address_parser.h"
#include "analysis/exchange_report.h"
#include "analysis/frame_splitter.h"
#include "analysis/line_monitor.h"
#include "analysis/trace_decoder.h"
#include "analysis/trace_reader.h"
#include "common/json_object.h"
#include "common/tool_text.h"
#include "fieldkit/parser_hint.h"
#include "hosting/dorvak.h"
#include "hosting/session.h"
#include "protocol/exchange.h"
#include "protocol/frames.h"
#include "scan/block_planner.h"
#include "scan/tag_list.h"
#include "serial/serial_port.h"
#include "tests/case_name.h"
#include "tests/fake_serial_platform.h"
#include "tests/framed.h"
#include "tests/stdout_capture.h"
#include "wire/address_area.h"
#include "wire/pcon_frame.h"

namespace kivhost {
void PrintTo(Outcome outcome, std::ostream* os)
{
    *os << OutcomeName(outcome);
}
}  // namespace kivhost

namespace {

using namespace kivhost;

template <typename Case>
void PrintCaseName(const Case& c, std::ostream* os)
{
    *os << c.name;
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

const std::string READ_2W = "/01RW0010022D\r";
const std::string READ_20B = "/01RB0100141B\r";
const std::string WRITE_W = "/01SW0010011234F7\r";

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

// ---------------------------------------------------------------------------
// The driver's traces read back. The driver's own exchanges print them, over
// the fake port whose station answers each frame from a script.

struct Step {
    std::string frame;                 // what the host asks: a request frame, decoded for the IoBlock
    std::vector<std::string> replies;  // one per attempt; "" is silence
    bool writeFails = false;           // the port refuses every write
};

struct ClassifierCase {
    const char* name;
    std::vector<Step> steps;
    std::vector<std::vector<Outcome>> exchanges;  // the attempts' outcomes, exchange by exchange
};
void PrintTo(const ClassifierCase& c, std::ostream* os)
{
    PrintCaseName(c, os);
}

const std::string SET_BIT = "/01X100105s53\r";

// A 255-word reply whose data holds a zero byte (the line showing it is cut
// short) and, in another line, ")" and a line feed.
std::string LongReply()
{
    std::string data;
    for (int i = 0; i < 255; ++i) {
        char word[5];
        std::snprintf(word, sizeof word, "%04X", i * 257 & 0xFFFF);
        data += word;
    }
    data[100] = '\0';
    data[400] = ')';
    data[401] = '\n';
    return Framed("A01RW" + data);
}

std::string Request(const std::string& body)
{
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", FrameSum(body));
    return "/" + body + digits + "\r";
}

const std::string LONG_READ = Request("01RW0000FF");

const ClassifierCase CLASSIFIER_CASES[] = {
    {"good at once", {{READ_2W, {Framed("A01RW1234ABCD")}}}, {{Outcome::Good}}},
    {"silence then good", {{READ_2W, {"", Framed("A01RW1234ABCD")}}}, {{Outcome::NoReply, Outcome::Good}}},
    {"four refusals",
     {{READ_2W, {Framed("N01RW1234ABCD"), Framed("N01RW1234ABCD"), Framed("N01RW1234ABCD"), Framed("N01RW1234ABCD")}}},
     {{Outcome::Nak, Outcome::Nak, Outcome::Nak, Outcome::Nak}}},
    {"every kind of failure, then good",
     {{READ_2W, {Framed("A02RW1234ABCD"), "/A01RW12", "\xFF\xFE\xFD\xFC\xFB\xFA\xF9", Framed("A01RW1234ABCD")}}},
     {{Outcome::WrongStation, Outcome::Short, Outcome::Garbled, Outcome::Good}}},
    {"a header cut short",
     {{READ_20B, {"/A0", Framed("A01RB10100000000000000001")}}},
     {{Outcome::Short, Outcome::Good}}},
    {"255 words with a zero byte, then a write",
     {{LONG_READ, {LongReply()}}, {WRITE_W, {Framed("A01SW")}}},
     {{Outcome::Good}, {Outcome::Good}}},
    {"a silent station fails a write",
     {{WRITE_W, {"", "", "", ""}}, {SET_BIT, {Framed("N01X1"), Framed("A01X1")}}},
     {{Outcome::NoReply, Outcome::NoReply, Outcome::NoReply, Outcome::NoReply}, {Outcome::Nak, Outcome::Good}}},
    {"the same read twice is two exchanges",
     {{READ_2W, {Framed("A01RW1234ABCD")}}, {READ_2W, {Framed("A01RW1234ABCD")}}},
     {{Outcome::Good}, {Outcome::Good}}},
    {"a port that takes no frame",
     {{WRITE_W, {}, true}},
     {{Outcome::NotSent, Outcome::NotSent, Outcome::NotSent, Outcome::NotSent}}},
};

// The IoBlock a host would hand in for the frame.
struct HostRequest {
    IoBlock io{};
    std::vector<uint16_t> values;

    explicit HostRequest(const PconRequest& r)
    {
        io.address.station = r.station;
        io.address.operand = r.operand;
        io.address.number = r.number;
        io.address.bit = r.bit < 0 ? NO_BIT : r.bit;
        io.address.width = r.operand == 'W' ? 16 : 1;
        io.count = r.count;
        values = r.values.empty() ? std::vector<uint16_t>() : PackValues(io.address, r.values);
        values.resize(260);
        io.values = values.data();
    }
};

// Runs the steps on the driver and returns what it printed, with a host's
// own output between the calls, as a captured standard output has it.
std::string DriverTrace(const std::vector<Step>& steps)
{
    kiv::fake::FakeSerialPlatform fake;
    kiv::fake::FakeDevice& com = fake.AddDevice("COM1");
    std::deque<std::string> replies;
    com.onWrite = [&replies](kiv::fake::FakeDevice& d, const uint8_t*, uint32_t) {
        if (!replies.empty()) {
            d.Arrive(replies.front(), d.NowMs() + 2);
            replies.pop_front();
        }
    };
    ChannelBlock channel{};
    EXPECT_EQ(kiv::PortOpen("COM1", PortSettings{9600, 8, 0, 0}, LINE_FLAGS_DTR_RTS_ON, &channel.portHandle),
              kiv::PORT_OK);
    channel.portEnabled = 1;

    DorvakSetLogging(0);
    StdoutCapture out;
    std::printf("host: starting\n(a host's own line)\n");
    for (const Step& step : steps) {
        replies.assign(step.replies.begin(), step.replies.end());
        if (step.writeFails)
            com.Fail(kiv::fake::FakeOp::Write);
        const PconRequest r = DecodeRequest(step.frame);
        HostRequest host(r);
        // A host that prints the driver's log lines too shows this one just
        // before the driver's own.
        std::printf("REVIZ: %u bytes will be send\n", static_cast<unsigned>(step.frame.size()));
        if (r.IsRead())
            kiv::ReadExchange(channel, host.io);
        else
            kiv::WriteExchange(channel, host.io);
        std::printf("host: value 5 (ok)\n");
    }
    const std::string text = out.Take();
    DorvakSetLogging(1);
    kiv::PortClose(channel.portHandle);
    return text;
}

std::vector<std::vector<Outcome>> Outcomes(const std::vector<TraceExchange>& exchanges)
{
    std::vector<std::vector<Outcome>> outcomes;
    for (const TraceExchange& e : exchanges) {
        outcomes.emplace_back();
        for (const TraceAttempt& a : e.attempts)
            outcomes.back().push_back(a.outcome);
    }
    return outcomes;
}

class TraceClassifier : public ::testing::TestWithParam<ClassifierCase> {};

TEST_P(TraceClassifier, AttemptsAndOutcomesFromTheDriversOwnTrace)
{
    const ClassifierCase& c = GetParam();
    const std::string text = DriverTrace(c.steps);
    const std::vector<TraceExchange> whole = ReadTrace(text);
    ASSERT_EQ(Outcomes(whole), c.exchanges) << text;

    bool timedOut = false;  // every case asks station 1
    for (size_t e = 0; e < whole.size(); ++e) {
        const TraceExchange& exchange = whole[e];
        EXPECT_EQ(exchange.outcome, exchange.attempts.back().outcome);
        for (size_t i = 0; i < exchange.attempts.size(); ++i) {
            const TraceAttempt& a = exchange.attempts[i];
            EXPECT_EQ(a.attempt, static_cast<int>(i + 1));
            EXPECT_EQ(a.followsTimeout, timedOut) << "exchange " << e << " attempt " << i + 1;
            timedOut = a.outcome == Outcome::NoReply || a.outcome == Outcome::Short;
            EXPECT_EQ(a.requestBytes, c.steps[e].frame);
            if (a.outcome != Outcome::Good)
                continue;
            // What the trace shows of a good reply is what the station sent.
            const std::string& sent = c.steps[e].replies[i];
            ASSERT_EQ(a.replyBytes.size(), a.request.ReplyLength());
            for (size_t b = 0; b < a.replyBytes.size(); ++b) {
                if (a.replyShown[b]) {
                    ASSERT_EQ(a.replyBytes[b], sent[b]) << "byte " << b;
                }
            }
        }
    }

    // Fed in pieces of any size, the reader finds the same, and hands out
    // each attempt as it is judged.
    std::vector<Outcome> attempts;
    for (const auto& exchange : c.exchanges)
        attempts.insert(attempts.end(), exchange.begin(), exchange.end());
    for (size_t piece : {size_t{1}, size_t{5}, size_t{34}}) {
        TraceReader reader;
        std::vector<Outcome> streamed;
        TraceAttempt attempt;
        for (size_t at = 0; at < text.size(); at += piece) {
            reader.Feed(std::string_view(text).substr(at, piece));
            while (reader.NextAttempt(&attempt))
                streamed.push_back(attempt.outcome);
        }
        reader.Finish();
        while (reader.NextAttempt(&attempt))
            streamed.push_back(attempt.outcome);
        EXPECT_EQ(streamed, attempts) << "pieces of " << piece;
        std::vector<TraceExchange> pieces;
        TraceExchange exchange;
        while (reader.NextExchange(&exchange))
            pieces.push_back(exchange);
        EXPECT_EQ(Outcomes(pieces), c.exchanges) << "pieces of " << piece;
    }
}

INSTANTIATE_TEST_SUITE_P(Driver, TraceClassifier, ::testing::ValuesIn(CLASSIFIER_CASES), CaseName());

// ---------------------------------------------------------------------------
// What kivhost makes of the exchanges the driver took as good: one reporter
// over a run of exchanges, as over one run of kivhost.

// The reply frame with a checksum that is not the sum of its body.
std::string Unsummed(const std::string& body)
{
    std::string frame = Framed(body);
    frame[frame.size() - 2] = frame[frame.size() - 2] == '0' ? '1' : '0';
    return frame;
}

struct Judged {
    std::string reason;  // ReasonName
    bool checksumSuspect;
    bool named;        // the station is named as not using the checksum
    std::string says;  // in the failure's message; "" for a good exchange
};

struct JudgementCase {
    const char* name;
    std::vector<Step> steps;      // one exchange each
    std::vector<Judged> reports;  // one per step
};
void PrintTo(const JudgementCase& c, std::ostream* os)
{
    PrintCaseName(c, os);
}

const Judged CLEAN{"good", false, false, ""};
const Judged SUSPECT{"good", true, false, ""};
const Judged BROKEN{"bad-data", true, false, "does not end in its checksum, which the station's replies kept before"};

const JudgementCase JUDGEMENT_CASES[] = {
    {"clean words", {{READ_2W, {Framed("A01RW1234ABCD")}}}, {CLEAN}},
    {"a word digit that is not hex",
     {{READ_2W, {Framed("A01RWGE82ABCD")}}},
     {{"bad-data", false, false, "came with damaged data (\"GE82ABCD\""}}},
    {"a bit that is neither 0 nor 1",
     {{READ_20B, {Framed("A01RB10100000000000200001")}}},
     {{"bad-data", false, false, "damaged data"}}},
    {"a write acknowledged by its station", {{WRITE_W, {Framed("A01SW")}}}, {CLEAN}},
    {"a write acknowledged by another station",
     {{WRITE_W, {Framed("A03SW")}}},
     {{"wrong-station", false, false,
       "write of 01W0010 was acknowledged by station 3 (03), not station 1 (01): the write may not have reached"}}},
    {"a station that never keeps the checksum is named once",
     {{READ_2W, {Unsummed("A01RW1234ABCD")}},
      {READ_2W, {Unsummed("A01RW1234ABCD")}},
      {READ_2W, {Unsummed("A01RW1234ABCD")}},
      {READ_2W, {Unsummed("A01RW1234ABCD")}},
      {READ_2W, {Unsummed("A01RW1234ABCD")}}},
     {SUSPECT, SUSPECT, SUSPECT, {"good", false, true, ""}, CLEAN}},
    {"once a station kept the checksum every break is bad data",
     {{READ_2W, {Framed("A01RW1234ABCD")}},
      {READ_2W, {Unsummed("A01RW1234ABCD")}},
      {READ_2W, {Unsummed("A01RW1234ABCD")}},
      {READ_2W, {Unsummed("A01RW1234ABCD")}},
      {READ_2W, {Unsummed("A01RW1234ABCD")}}},
     {CLEAN, BROKEN, BROKEN, BROKEN, BROKEN}},
    {"bits flipped after a kept checksum are bad data, not flagged",
     {{READ_20B, {Framed("A01RB10100000000000000001")}},
      {READ_20B, {Unsummed("A01RB10100000000000000011")}},
      {READ_20B, {Framed("A01RB10100000000000000001")}}},
     {CLEAN, BROKEN, CLEAN}},
    {"a reply of another block, of the same length",
     {{READ_2W, {Framed("A01RB10110000")}}},
     {{"late-reply", false, false, "repeats another request (\"RB\" where \"RW\" was asked)"}}},
    {"a write answered with a read's echo",
     {{WRITE_W, {Framed("A01RW")}}},
     {{"late-reply", false, false, "not confirmed"}}},
    {"a late reply teaches nothing of the checksum",
     {{READ_2W, {Framed("A01RB10110000")}}, {READ_2W, {Unsummed("A01RW1234ABCD")}}},
     {{"late-reply", false, false, "arrived late"}, SUSPECT}},
    {"damaged replies do not teach how a station sums",
     {{READ_2W, {Unsummed("A01RWGE82ABCD")}},
      {READ_2W, {Unsummed("A01RWGE82ABCD")}},
      {READ_2W, {Unsummed("A01RWGE82ABCD")}},
      {READ_2W, {Unsummed("A01RW1234ABCD")}}},
     {{"bad-data", true, false, "damaged data"},
      {"bad-data", true, false, "damaged data"},
      {"bad-data", true, false, "damaged data"},
      SUSPECT}},
};

class ExchangeJudgement : public ::testing::TestWithParam<JudgementCase> {};

TEST_P(ExchangeJudgement, DoubtsReasonsAndChecksumFlags)
{
    const JudgementCase& c = GetParam();
    const std::string text = DriverTrace(c.steps);
    const std::vector<TraceExchange> exchanges = ReadTrace(text);
    ASSERT_EQ(exchanges.size(), c.reports.size()) << text;
    ExchangeReporter reporter;
    for (size_t i = 0; i < exchanges.size(); ++i) {
        ASSERT_TRUE(exchanges[i].Good()) << "the driver takes every one of them; exchange " << i;
        const ExchangeReport report = reporter.Report({exchanges[i]});
        const Judged& want = c.reports[i];
        EXPECT_EQ(ReasonName(report), want.reason) << "exchange " << i;
        EXPECT_EQ(report.Good(), want.reason == "good") << "exchange " << i;
        EXPECT_EQ(report.checksumSuspect, want.checksumSuspect) << "exchange " << i;
        EXPECT_EQ(report.checksumUnused, want.named ? 1 : -1) << "exchange " << i;
        const std::string message = FailureMessage(report,
                                                   std::string(exchanges[i].Request().IsRead() ? "read" : "write") +
                                                       " of " + exchanges[i].Request().Address(),
                                                   1, 1000);
        if (want.says.empty())
            EXPECT_EQ(message, "") << "exchange " << i;
        else
            EXPECT_NE(message.find(want.says), std::string::npos) << message;
    }
    // decode judges each attempt as the others judge the exchange.
    std::string decoded;
    TraceDecoder decoder(true, &decoded);
    decoder.Feed(text);
    decoder.Finish();
    std::istringstream lines(decoded);
    std::string line;
    for (size_t i = 0; i < c.reports.size() && std::getline(lines, line); ++i) {
        const Json attempt = Json::parse(line);
        EXPECT_EQ(attempt.value("reason", "good"), c.reports[i].reason) << line;
        EXPECT_EQ(attempt.contains("values"), c.reports[i].reason == "good" && attempt["command"] == "read") << line;
    }
}

INSTANTIATE_TEST_SUITE_P(Driver, ExchangeJudgement, ::testing::ValuesIn(JUDGEMENT_CASES), CaseName());

// ---------------------------------------------------------------------------
// On a paced line the driver reads a refused header and moves on while the
// rest of that reply, and the replies queued behind it, keep coming: the
// next exchange reads them. Written as a host's captured trace, each
// attempt its request and what each reception got.

struct HandAttempt {
    std::string request;
    std::vector<std::string> receptions;
};

std::string HandTrace(const std::vector<HandAttempt>& attempts)
{
    std::string text;
    const auto dump = [&text](std::string bytes) {
        std::replace(bytes.begin(), bytes.end(), '\r', '.');
        for (size_t at = 0; at < bytes.size(); at += 33)
            text += "(" + bytes.substr(at, 33) + ")\n";
    };
    for (const HandAttempt& a : attempts) {
        text += "REVIZ: " + std::to_string(a.request.size()) + " bytes will be send\n";
        dump(a.request);
        for (const std::string& bytes : a.receptions) {
            text += "REVIZ: " + std::to_string(bytes.size()) + " bytes received\n";
            dump(bytes);
        }
    }
    return text;
}

const std::string READ_1W_01 = Request("01RW001001");
const std::string READ_1W_02 = Request("02RW000001");

// Station 1 answers every read with station 2's digits, four times; the
// driver takes 7 characters of each attempt, and the line never goes quiet.
std::vector<HandAttempt> QueuedReplies(const std::string& nextRequest)
{
    std::string queue;
    for (int i = 0; i < 4; ++i)
        queue += Framed("A02RW1234");
    std::vector<HandAttempt> attempts;
    for (size_t at = 0; at < queue.size(); at += 7)
        attempts.push_back({at < 28 ? READ_1W_01 : nextRequest, {queue.substr(at, 7)}});
    return attempts;
}

struct RestCase {
    const char* name;
    std::vector<HandAttempt> attempts;  // the last exchange is judged
    std::string reason;
    bool stationHeard;
    int restFrom;
    std::string says;   // in the failure's message and, but for its advice, the station's note
    std::string never;  // in neither
};
void PrintTo(const RestCase& c, std::ostream* os)
{
    PrintCaseName(c, os);
}

const RestCase REST_CASES[] = {
    {"another station's queue is no answer, and is named", QueuedReplies(READ_1W_02), "no-reply", false, 1,
     "rest of replies to station 1 (01)", "share a station number"},
    {"the same request's queue is still its answer", QueuedReplies(READ_1W_01), "wrong-station", false, -1,
     "station 2 (02) answered", "rest of replies to"},
};

class RestOfAnotherRequest : public ::testing::TestWithParam<RestCase> {};

TEST_P(RestOfAnotherRequest, NeverAnAnswerAndNamesWhereItCameFrom)
{
    const RestCase& c = GetParam();
    const std::string text = HandTrace(c.attempts);
    const std::vector<TraceExchange> exchanges = ReadTrace(text);
    ASSERT_EQ(exchanges.size(), 2u) << text;
    ExchangeReporter reporter;
    reporter.Report({exchanges.front()});
    const ExchangeReport report = reporter.Report(exchanges);
    EXPECT_EQ(ReasonName(report), c.reason);
    // What kivhost stations counts as the station answering.
    EXPECT_EQ(report.stationHeard, c.stationHeard);
    EXPECT_EQ(report.restFrom, c.restFrom);
    const std::string message = FailureMessage(report, "read of 0xW", exchanges.back().Request().station, 100);
    const std::string note = StationNote(report);
    EXPECT_NE(message.find(c.says), std::string::npos) << message;
    EXPECT_EQ(message.find(c.never), std::string::npos) << message;
    EXPECT_EQ(note.find(c.never), std::string::npos) << note;
    if (c.restFrom >= 0) {
        EXPECT_NE(note.find(c.says), std::string::npos) << note;
    }
}

INSTANTIATE_TEST_SUITE_P(PacedLine, RestOfAnotherRequest, ::testing::ValuesIn(REST_CASES), CaseName());

TEST(TraceClassifierHidden, ZeroByteHidesTheRestOfItsLineOnly)
{
    const std::string reply = LongReply();
    const std::vector<TraceExchange> exchanges = ReadTrace(DriverTrace({{LONG_READ, {reply}}}));
    ASSERT_EQ(exchanges.size(), 1u);
    const TraceAttempt& a = exchanges[0].attempts[0];
    // The zero is data byte 100, reply byte 106: the second reception (from
    // byte 7) shows it in its line 3, bytes 106 to 138 of the reply.
    for (size_t b = 0; b < a.replyShown.size(); ++b)
        EXPECT_EQ(a.replyShown[b], b <= 106 || b >= 139) << "byte " << b;
    EXPECT_EQ(a.replyBytes.back(), '\r');
    EXPECT_EQ(a.reply.values.size(), 255u);
}

// ---------------------------------------------------------------------------
// kivhost decode on a trace captured from a host run against plcsim, with
// faults that give every outcome (tests/data/README.md says how). Fed in
// pieces as well, as a pipe delivers it. KIV_UPDATE_GOLDEN=1 rewrites the
// expected files from what decode prints now.

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct GoldenCase {
    const char* name;
    bool json;
    size_t piece;  // 0: all at once
    const char* expected;
    const char* lineEnd = "\n";  // of the captured trace's lines
};
void PrintTo(const GoldenCase& c, std::ostream* os)
{
    PrintCaseName(c, os);
}

const GoldenCase GOLDEN_CASES[] = {
    {"table at once", false, 0, "decode_every_outcome.txt"},
    {"json in pieces", true, 7, "decode_every_outcome.jsonl"},
    {"table of a trace with CR line ends, in pieces", false, 5, "decode_every_outcome.txt", "\r"},
    {"json of a trace with CR LF line ends, byte by byte", true, 1, "decode_every_outcome.jsonl", "\r\n"},
};

class TraceDecodeGolden : public ::testing::TestWithParam<GoldenCase> {};

TEST_P(TraceDecodeGolden, CapturedTraceDecodesAsBefore)
{
    const GoldenCase& c = GetParam();
    std::string trace;
    for (const char byte : ReadFile(std::string(KIV_TEST_DATA) + "/decode_every_outcome.trace"))
        trace += byte == '\n' ? std::string(c.lineEnd) : std::string(1, byte);
    ASSERT_FALSE(trace.empty());
    std::string out;
    TraceDecoder decoder(c.json, &out);
    const size_t piece = c.piece > 0 ? c.piece : trace.size();
    for (size_t at = 0; at < trace.size(); at += piece)
        decoder.Feed(std::string_view(trace).substr(at, piece));
    decoder.Finish();

    const std::string path = std::string(KIV_TEST_DATA) + "/" + c.expected;
    if (const char* update = std::getenv("KIV_UPDATE_GOLDEN"); update != nullptr && *update == '1')
        std::ofstream(path, std::ios::binary) << out;
    EXPECT_EQ(out, ReadFile(path));
}

INSTANTIATE_TEST_SUITE_P(Capture, TraceDecodeGolden, ::testing::ValuesIn(GOLDEN_CASES), CaseName());

// ---------------------------------------------------------------------------
// A listening line cut into frames

struct Chunk {
    std::string bytes;
    uint64_t us;
};

struct SplitCase {
    const char* name;
    std::vector<Chunk> chunks;
    uint64_t idleUs;  // then nothing until this time (0: the input ends)
    std::vector<LineFrame> frames;
};
void PrintTo(const SplitCase& c, std::ostream* os)
{
    PrintCaseName(c, os);
}

constexpr uint64_t GAP_US = 20000;

LineFrame F(std::string bytes, uint64_t startUs, uint64_t endUs, FrameEnd end, bool garbage = false)
{
    return LineFrame{std::move(bytes), startUs, endUs, garbage, end};
}

const SplitCase SPLIT_CASES[] = {
    {"a frame over three reads",
     {{"/01R", 10}, {"W00100", 900}, {"22D\r", 1500}},
     0,
     {F("/01RW0010022D\r", 10, 1500, FrameEnd::Cr)}},
    {"two frames in one read",
     {{"/01RW0010022D\r/A01RW1234ABCD9E\r", 70}},
     0,
     {F("/01RW0010022D\r", 70, 70, FrameEnd::Cr), F("/A01RW1234ABCD9E\r", 70, 70, FrameEnd::Cr)}},
    {"CR lost, then a gap",
     {{"/01RW0010022D", 0}, {"/A01", 50000}, {"RW1234ABCD9E\r", 51000}},
     0,
     {F("/01RW0010022D", 0, 0, FrameEnd::Gap), F("/A01RW1234ABCD9E\r", 50000, 51000, FrameEnd::Cr)}},
    {"CR lost, the next frame at once",
     {{"/01RW0010022D/A01RW1234ABCD9E\r", 5}},
     0,
     {F("/01RW0010022D", 5, 5, FrameEnd::NextFrame), F("/A01RW1234ABCD9E\r", 5, 5, FrameEnd::Cr)}},
    {"CR lost, then silence",
     {{"/01RW0010022D", 100}},
     100 + GAP_US + 1,
     {F("/01RW0010022D", 100, 100, FrameEnd::Gap)}},
    {"a pause shorter than the gap",
     {{"/01RW00", 0}, {"10022D\r", GAP_US}},
     0,
     {F("/01RW0010022D\r", 0, GAP_US, FrameEnd::Cr)}},
    {"noise before, between and after",
     {{std::string("\xFF\0", 2), 0}, {"/01RW0010022D\r~~", 10}, {"\r", 20}, {"/A01", 30}, {"RW", 40}, {"zz", 90000}},
     0,
     {F(std::string("\xFF\0", 2), 0, 0, FrameEnd::NextFrame, true), F("/01RW0010022D\r", 10, 10, FrameEnd::Cr),
      F("~~\r", 10, 20, FrameEnd::Cr, true), F("/A01RW", 30, 40, FrameEnd::Gap),
      F("zz", 90000, 90000, FrameEnd::EndOfInput, true)}},
    {"longer than any frame",
     {{"/" + std::string(2100, '1'), 0}},
     0,
     {F("/" + std::string(2047, '1'), 0, 0, FrameEnd::Overlong),
      F(std::string(53, '1'), 0, 0, FrameEnd::EndOfInput, true)}},
};

class LineSplitting : public ::testing::TestWithParam<SplitCase> {};

TEST_P(LineSplitting, FramesTimesAndGarbage)
{
    const SplitCase& c = GetParam();
    FrameSplitter splitter(GAP_US);
    for (const Chunk& chunk : c.chunks)
        splitter.Feed(chunk.bytes, chunk.us);
    if (c.idleUs)
        splitter.Idle(c.idleUs);
    else
        splitter.Finish();
    std::vector<LineFrame> frames;
    LineFrame frame;
    while (splitter.Next(&frame))
        frames.push_back(frame);
    ASSERT_EQ(frames.size(), c.frames.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        EXPECT_EQ(frames[i].bytes, c.frames[i].bytes);
        EXPECT_EQ(frames[i].startUs, c.frames[i].startUs);
        EXPECT_EQ(frames[i].endUs, c.frames[i].endUs);
        EXPECT_EQ(frames[i].garbage, c.frames[i].garbage);
        EXPECT_EQ(frames[i].end, c.frames[i].end);
    }
}

INSTANTIATE_TEST_SUITE_P(Monitor, LineSplitting, ::testing::ValuesIn(SPLIT_CASES), CaseName());

// ---------------------------------------------------------------------------
// Requests paired with the replies that follow them

struct PairSeen {
    bool hasRequest;
    Outcome outcome;
    int attempt;
    uint32_t flags;
    uint64_t latencyUs;

    bool operator==(const PairSeen&) const = default;
};

void PrintTo(const PairSeen& p, std::ostream* os)
{
    *os << (p.hasRequest ? "request " : "no request ") << OutcomeName(p.outcome) << " attempt " << p.attempt
        << " flags " << p.flags << " latency " << p.latencyUs;
}

struct PairCase {
    const char* name;
    std::vector<LineFrame> frames;
    std::vector<PairSeen> pairs;
};
void PrintTo(const PairCase& c, std::ostream* os)
{
    PrintCaseName(c, os);
}

constexpr uint64_t LATE_US = 1000000;
const std::string GOOD_2W = Framed("A01RW1234ABCD");

LineFrame At(const std::string& bytes, uint64_t startUs, uint64_t endUs)
{
    return F(bytes, startUs, endUs, bytes.back() == '\r' ? FrameEnd::Cr : FrameEnd::Gap, bytes[0] != '/');
}

const PairCase PAIR_CASES[] = {
    {"answered", {At(READ_2W, 0, 14), At(GOOD_2W, 30, 47)}, {{true, Outcome::Good, 1, 0, 16}}},
    {"a retry after silence",
     {At(READ_2W, 0, 14), At(READ_2W, 1000000, 1000014), At(GOOD_2W, 1000020, 1000040)},
     {{true, Outcome::NoReply, 1, 0, 0}, {true, Outcome::Good, 2, 0, 6}}},
    {"late", {At(READ_2W, 0, 14), At(GOOD_2W, 1500014, 1500030)}, {{true, Outcome::Good, 1, PAIR_LATE, 1500000}}},
    {"answered twice",
     {At(READ_2W, 0, 14), At(GOOD_2W, 20, 40), At(GOOD_2W, 50, 70)},
     {{true, Outcome::Good, 1, 0, 6}, {true, Outcome::Good, 1, PAIR_ANSWERED_AGAIN, 36}}},
    {"a reply without a request", {At(GOOD_2W, 0, 17)}, {{false, Outcome::Good, 0, PAIR_NO_REQUEST, 0}}},
    {"a bad request checksum",
     {At("/01RW0010022E\r", 0, 14)},
     {{true, Outcome::NoReply, 1, PAIR_BAD_REQUEST_CHECKSUM, 0}}},
    {"garbage where the reply should be",
     {At(READ_2W, 0, 14), At("\xF0\xF8\xFF", 20, 20)},
     {{true, Outcome::Garbled, 1, PAIR_GARBAGE, 6}}},
    {"garbage and a reply without its CR",
     {At("\xF0\xF8", 0, 0), At(READ_2W, 5, 14), At(GOOD_2W.substr(0, 16), 20, 30)},
     {{false, Outcome::Garbled, 0, PAIR_GARBAGE, 0}, {true, Outcome::Short, 1, PAIR_NO_CR, 6}}},
    {"another station answers, four times",
     {At(READ_2W, 0, 1), At(Framed("A02RW1234ABCD"), 2, 3), At(READ_2W, 4, 5), At(Framed("A02RW1234ABCD"), 6, 7),
      At(READ_2W, 8, 9), At(Framed("A02RW1234ABCD"), 10, 11), At(READ_2W, 12, 13), At(Framed("A02RW1234ABCD"), 14, 15),
      At(READ_2W, 16, 17)},
     {{true, Outcome::WrongStation, 1, 0, 1},
      {true, Outcome::WrongStation, 2, 0, 1},
      {true, Outcome::WrongStation, 3, 0, 1},
      {true, Outcome::WrongStation, 4, 0, 1},
      {true, Outcome::NoReply, 1, 0, 0}}},
};

class LinePairing : public ::testing::TestWithParam<PairCase> {};

TEST_P(LinePairing, OutcomesAttemptsAndFlags)
{
    const PairCase& c = GetParam();
    LinePairer pairer(LATE_US);
    for (const LineFrame& frame : c.frames)
        pairer.Add(frame);
    pairer.Finish();
    std::vector<PairSeen> seen;
    LinePair pair;
    while (pairer.Next(&pair))
        seen.push_back({pair.hasRequest, pair.outcome, pair.attempt, pair.flags, pair.latencyUs});
    EXPECT_EQ(seen, c.pairs);
}

INSTANTIATE_TEST_SUITE_P(Monitor, LinePairing, ::testing::ValuesIn(PAIR_CASES), CaseName());

// Ctrl-C is not a line fault: a frame it cuts is no short reply, no missing
// CR; the end of the input (a capture, a hang-up) still judges it.
struct StopCase {
    const char* name;
    std::vector<Chunk> chunks;
    bool stopped;  // Ctrl-C, or the end of the input
    uint64_t attempts, noReply, shortReplies, noCr;
};
void PrintTo(const StopCase& c, std::ostream* os)
{
    PrintCaseName(c, os);
}

const StopCase STOP_CASES[] = {
    {"a reply cut by Ctrl-C", {{READ_2W, 0}, {GOOD_2W.substr(0, 8), 20}}, true, 0, 0, 0, 0},
    {"a reply cut by the end of the input", {{READ_2W, 0}, {GOOD_2W.substr(0, 8), 20}}, false, 1, 0, 1, 1},
    {"a request cut by Ctrl-C", {{READ_2W, 0}, {GOOD_2W, 20}, {READ_2W.substr(0, 6), 30}}, true, 1, 0, 0, 0},
    {"no reply before Ctrl-C", {{READ_2W, 0}}, true, 1, 1, 0, 0},
    {"answered before Ctrl-C", {{READ_2W, 0}, {GOOD_2W, 20}}, true, 1, 0, 0, 0},
};

class LineStopping : public ::testing::TestWithParam<StopCase> {};

TEST_P(LineStopping, OnlyTheLineCountsAsAFault)
{
    const StopCase& c = GetParam();
    MonitorSettings settings;
    settings.gapUs = GAP_US;
    LineMonitor monitor(settings, MonitorOutputs{});
    for (const Chunk& chunk : c.chunks)
        monitor.Feed(chunk.bytes, chunk.us);
    if (c.stopped)
        monitor.Stop();
    else
        monitor.Finish();
    const auto& stations = monitor.Tally().Stations();
    LineTally::Station station;
    if (const auto found = stations.find(1); found != stations.end())
        station = found->second;
    EXPECT_EQ(station.attempts, c.attempts);
    EXPECT_EQ(station.failures[Outcome::NoReply], c.noReply);
    EXPECT_EQ(station.failures[Outcome::Short], c.shortReplies);
    EXPECT_EQ(monitor.Tally().Flags().noCr, c.noCr);
}

INSTANTIATE_TEST_SUITE_P(Monitor, LineStopping, ::testing::ValuesIn(STOP_CASES), CaseName());

// ---------------------------------------------------------------------------
// Tag files

// As kivhost checks an address: through the driver's parser, the single one
// for one element and the block one for a run, with the hint it shows.
bool DriverValidates(const Tag& tag, DriverAddress* address, std::string* why)
{
    AddressParseBlock block{};
    block.text = tag.text.c_str();
    block.tagType = tag.kind == ValueKind::Bit ? TAG_TYPE_BIT : TAG_TYPE_WORD;
    block.count = tag.count;
    const bool run = tag.count > 1;
    DorvakSetLogging(0);
    const int32_t result = kiv::ParseAddress(&block, run ? kiv::ParseMode::Block : kiv::ParseMode::Single);
    DorvakSetLogging(1);
    if (result != SUCCESS && why == nullptr)
        return false;
    if (result != SUCCESS) {
        const AddressParser parse = [](const std::string& text, bool blockMode, uint32_t tagType, int32_t count,
                                       DriverAddress* parsed) {
            AddressParseBlock probe{};
            probe.text = text.c_str();
            probe.tagType = tagType;
            probe.count = count;
            DorvakSetLogging(0);
            const int32_t verdict =
                kiv::ParseAddress(&probe, blockMode ? kiv::ParseMode::Block : kiv::ParseMode::Single);
            DorvakSetLogging(1);
            *parsed = probe.address;
            return verdict;
        };
        *why = RejectionHint(parse, tag.text, run, block.tagType, tag.count);
        return false;
    }
    *address = block.address;
    return true;
}

TEST(TagFile, ReadsColumnsInAnyOrderQuotesCommentsAndLineEnds)
{
    const std::string content = "\xEF\xBB\xBF# line 1: a comment before the header\r\n"
                                "Comment, address ,NAME,count\r\n"
                                "\r\n"
                                "\"rpm, set by the panel\",01W0010,pump speed,\r\n"
                                "   # a comment row\n"
                                "\"say \"\"hi\"\"\",01b0100,valves,0x0C\n"
                                ",02A01F7,door,";
    const TagFile file = ParseTagFile(content, "job.csv", DriverValidates);
    ASSERT_TRUE(file.Ok()) << file.errors[0].Message();
    ASSERT_EQ(file.tags.size(), 3u);
    EXPECT_EQ(file.tags[0].name, "pump speed");
    EXPECT_EQ(file.tags[0].comment, "rpm, set by the panel");
    EXPECT_EQ(file.tags[0].line, 4);
    EXPECT_EQ(file.tags[0].kind, ValueKind::Word);
    EXPECT_EQ(file.tags[1].comment, "say \"hi\"");
    EXPECT_EQ(file.tags[1].count, 12);
    EXPECT_EQ(file.tags[1].address.operand, 'B');
    EXPECT_EQ(file.tags[1].line, 6);
    EXPECT_EQ(file.tags[2].address.number, 0x1F7);
    EXPECT_EQ(file.tags[2].kind, ValueKind::Bit);
}

struct TagFileCase {
    const char* name;
    std::string content;
    int line;          // of the one error
    const char* says;  // part of its reason
};
void PrintTo(const TagFileCase& c, std::ostream* os)
{
    PrintCaseName(c, os);
}

const std::string HEADER = "name,address,count,type,comment\n";

const TagFileCase TAG_FILE_CASES[] = {
    {"empty", "# nothing\n\n", 0, "no header line"},
    {"header only", HEADER, 0, "no tags"},
    {"header without address", "name,count\nx,3\n", 1, "name and address at least"},
    {"misspelt column", "name,address,cuont\n", 1, "unknown column \"cuont\""},
    {"column twice", "name,address,Name\n", 1, "appears twice"},
    {"broken quote in the header", "name,\"address\n", 1, "quote is not closed"},
    {"too many fields", HEADER + "a,01W0010,1,word,x,y\n", 2, "6 fields, the header 5"},
    {"text after a quote", HEADER + "a,\"01W0010\"x\n", 2, "text follows a closing quote"},
    {"no name", HEADER + ",01W0010\n", 2, "no name"},
    {"name taken", HEADER + "a,01W0010\na,01W0011\n", 3, "taken by an earlier row"},
    {"no address", HEADER + "a,,1\n", 2, "no address"},
    {"address too long", HEADER + "a,01W001000\n", 2, "at most 8 characters"},
    {"count 0", HEADER + "a,01W0010,0\n", 2, "from 1 to 255"},
    {"count 256", HEADER + "a,01W0010,256\n", 2, "from 1 to 255"},
    {"count not a number", HEADER + "a,01W0010,ten\n", 2, "from 1 to 255"},
    {"unknown type", HEADER + "a,01W0010,1,float\n", 2, "neither word nor bit"},
    {"type against the address", HEADER + "a,01W0010,1,bit\n", 2, "the type says bit but 01W0010 names a word"},
    {"operand the driver does not know", HEADER + "a,01C0000\n", 2, "the operand is W"},
    {"six characters", HEADER + "a,02A1F7\n", 2, "seven characters"},
    {"a bit of a word in a run", HEADER + "a,01W00105,2\n", 2, "a bit of a word goes alone"},
    {"a word run past FFFF", HEADER + "a,01WFFFF,2\n", 2, "a run of 2 from 01WFFFF goes past 01WFFFF"},
    {"a bit run past the last A bit", HEADER + "a,01A01F6,4\n", 2,
     "goes past 01A01F7, the last of the A area: at most 2"},
    {"a bad row among good ones", HEADER + "a,01W0010\n# b\nb,01B100000\nc,01E0000\n", 4, "at most 8 characters"},
};

class TagFileRejections : public ::testing::TestWithParam<TagFileCase> {};

TEST_P(TagFileRejections, FileLineTextAndWhy)
{
    const TagFileCase& c = GetParam();
    const TagFile file = ParseTagFile(c.content, "job.csv", DriverValidates);
    ASSERT_EQ(file.errors.size(), 1u);
    const TagFileError& error = file.errors[0];
    EXPECT_EQ(error.line, c.line);
    EXPECT_NE(error.why.find(c.says), std::string::npos) << error.why;
    const std::string message = error.Message();
    EXPECT_EQ(message.rfind("job.csv:", 0), 0u) << message;
    EXPECT_EQ(message.find('\n'), std::string::npos) << message;
}

INSTANTIATE_TEST_SUITE_P(Rows, TagFileRejections, ::testing::ValuesIn(TAG_FILE_CASES), CaseName());

TEST(TagFile, EveryBadRowIsReported)
{
    const TagFile file = ParseTagFile(HEADER + "a,01W001000\nb,01W0010\nc,01W0011,300\n", "job.csv", DriverValidates);
    ASSERT_EQ(file.errors.size(), 2u);
    EXPECT_EQ(file.errors[0].Message(),
              "job.csv:2: \"01W001000\" is not an address: it has at most 8 characters (station, operand, four hex "
              "digits, and a bit digit for a bit of a W word), e.g. 01W0010 or 01W00105; the driver would read only "
              "\"01W00100\": a,01W001000");
    EXPECT_EQ(file.errors[1].line, 4);
    EXPECT_EQ(file.tags.size(), 1u);
}

// ---------------------------------------------------------------------------
// The block planner

struct PlanCase {
    const char* name;
    std::vector<std::pair<std::string, int>> tags;  // address, count
    int maxGap;
    std::vector<std::string> blocks;  // start address and count: "01W0010x3"
    std::vector<std::string> places;  // per tag: block, offset, and the bit of a word: "0+2", "0+1.5"
};
void PrintTo(const PlanCase& c, std::ostream* os)
{
    PrintCaseName(c, os);
}

const PlanCase PLAN_CASES[] = {
    {"neighbours", {{"01W0012", 1}, {"01W0010", 1}, {"01W0011", 1}}, 0, {"01W0010x3"}, {"0+2", "0+0", "0+1"}},
    {"a gap within the limit", {{"01W0010", 1}, {"01W0015", 2}}, 4, {"01W0010x7"}, {"0+0", "0+5"}},
    {"a gap beyond it", {{"01W0010", 1}, {"01W0015", 2}}, 3, {"01W0010x1", "01W0015x2"}, {"0+0", "1+0"}},
    {"grouping off",
     {{"01W0010", 1}, {"01W0011", 1}, {"01W0010", 1}},
     NO_GROUPING,
     {"01W0010x1", "01W0010x1", "01W0011x1"},
     {"0+0", "2+0", "1+0"}},
    {"the same tag twice", {{"01W0010", 3}, {"01W0010", 3}}, 0, {"01W0010x3"}, {"0+0", "0+0"}},
    {"a bit of a word from its word",
     {{"01W0010", 2}, {"01W00115", 1}, {"01W0012F", 1}},
     0,
     {"01W0010x3"},
     {"0+0", "0+1.5", "0+2.15"}},
    {"stations and operands apart",
     {{"01W0010", 1}, {"02W0011", 1}, {"01B0011", 1}},
     8,
     {"01B0011x1", "01W0010x1", "02W0011x1"},
     {"1+0", "2+0", "0+0"}},
    {"exactly 255", {{"01W0000", 100}, {"01W0064", 155}}, 0, {"01W0000x255"}, {"0+0", "0+100"}},
    {"one more splits", {{"01W0000", 100}, {"01W0064", 156}}, 0, {"01W0000x100", "01W0064x156"}, {"0+0", "1+0"}},
    {"neighbouring runs split at 255",
     {{"01B0000", 200}, {"01B00C8", 100}, {"01B00D0", 8}},
     0,
     {"01B0000x200", "01B00C8x100"},
     {"0+0", "1+0", "1+8"}},
    {"up to the top of W", {{"01WFFFE", 2}, {"01WFFF0", 1}}, 14, {"01WFFF0x16"}, {"0+14", "0+0"}},
    {"B runs across what would be bytes", {{"01B0007", 1}, {"01B0008", 1}}, 0, {"01B0007x2"}, {"0+0", "0+1"}},
    {"A within one byte", {{"01A0107", 1}, {"01A0100", 2}, {"01A0103", 1}}, 8, {"01A0100x8"}, {"0+7", "0+0", "0+3"}},
    {"A never across a byte", {{"01A0107", 1}, {"01A0110", 1}}, 8, {"01A0107x1", "01A0110x1"}, {"0+0", "1+0"}},
    {"an A run across a byte is read alone",
     {{"01A0106", 4}, {"01A0107", 1}, {"01E0106", 4}, {"01E0106", 4}},
     8,
     {"01A0106x4", "01A0107x1", "01E0106x4"},
     {"0+0", "1+0", "2+0", "2+0"}},
    {"the top of A", {{"01A01F5", 3}, {"01A01F0", 1}}, 8, {"01A01F0x8"}, {"0+5", "0+0"}},
    {"an A run across a byte leaves its neighbours one block",
     {{"01A0100", 1}, {"01A0106", 4}, {"01A0107", 1}},
     8,
     {"01A0100x8", "01A0106x4"},
     {"0+0", "1+0", "0+7"}},
    {"12 E bits across three bytes, a block of neighbours on either side",
     {{"01E01D6", 12}, {"01E01D0", 1}, {"01E01F5", 1}, {"01E01D7", 1}, {"01E01F1", 1}, {"01E01D6", 12}},
     8,
     {"01E01D0x8", "01E01D6x12", "01E01F1x5"},
     {"1+0", "0+0", "2+4", "0+7", "2+0", "1+0"}},
};

class BlockPlanner : public ::testing::TestWithParam<PlanCase> {};

TEST_P(BlockPlanner, FewestBlocksAndEachTagsPlace)
{
    const PlanCase& c = GetParam();
    std::vector<Tag> tags;
    for (const auto& [text, count] : c.tags) {
        Tag tag;
        tag.text = text;
        tag.count = count;
        tag.kind = GuessValueKind(text);
        std::string why;
        ASSERT_TRUE(DriverValidates(tag, &tag.address, &why)) << text << ": " << why;
        tags.push_back(tag);
    }
    const ReadPlan plan = PlanReads(tags, c.maxGap);
    std::vector<std::string> blocks;
    for (const ReadBlock& block : plan.blocks) {
        blocks.push_back(ElementAddress(block.start, 0) + "x" + std::to_string(block.count));
        std::string why;
        EXPECT_TRUE(block.count >= 1 && block.count <= BLOCK_MAX);
        EXPECT_EQ(block.start.bit, NO_BIT);
    }
    EXPECT_EQ(blocks, c.blocks);
    std::vector<std::string> places;
    for (size_t i = 0; i < plan.places.size(); ++i) {
        const TagPlace& p = plan.places[i];
        places.push_back(std::to_string(p.block) + "+" + std::to_string(p.offset) +
                         (p.bit != NO_BIT ? "." + std::to_string(p.bit) : ""));
        EXPECT_LE(p.offset + p.count, plan.blocks[p.block].count) << "tag " << i;
    }
    EXPECT_EQ(places, c.places);
}

INSTANTIATE_TEST_SUITE_P(Tags, BlockPlanner, ::testing::ValuesIn(PLAN_CASES), CaseName());

}  // namespace
