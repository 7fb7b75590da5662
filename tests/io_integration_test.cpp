// Reads and writes through KivMain against simulated stations on a
// pseudo-terminal: frames on the line, traces, log lines, values, retries.
// IoBlocks the commands refuse are bad_input_test.cpp's; channels on
// several threads reliability_threads_test.cpp's.
#include <gtest/gtest.h>

#include <chrono>
#include <utility>

#include "tests/case_name.h"
#include "tests/driver_fixture.h"

namespace {

using plcsim::Fault;
using plcsim::FaultKind;
using Clock = std::chrono::steady_clock;

constexpr uint32_t TIMEOUT_UNITS = 10;  // 100 ms: retries stay quick

std::vector<std::string> Requests(const plcsim::Simulator& sim)
{
    std::vector<std::string> out;
    for (const plcsim::Record& r : sim.Records())
        if (r.direction == plcsim::Record::Direction::Request)
            out.push_back(r.bytes);
    return out;
}

size_t Occurrences(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class LineTest : public ::testing::Test {
protected:
    explicit LineTest(plcsim::Options options = MakeOptions()) : sim_(std::move(options)) {}

    static plcsim::Options MakeOptions()
    {
        plcsim::Options options;
        options.stations = {1, 2};
        return options;
    }

    void SetUp() override
    {
        kiv::ResetDriverEndedForTests();
        sim_.StartPty();
        StdoutCapture quiet;
        LogCapture quietLog;
        ASSERT_EQ(channel_.ColdStart(sim_.SlavePath(), TIMEOUT_UNITS), SUCCESS) << sim_.SlavePath();
    }

    void TearDown() override
    {
        StdoutCapture quiet;
        LogCapture quietLog;
        (void)channel_.Call(CMD_CLOSE_COM);  // tear-down: what the test checks is done
        sim_.Stop();
    }

    int32_t Run(uint32_t code, HostIo& host, std::string* out = nullptr)
    {
        StdoutCapture capture;
        const int32_t result = channel_.Call(code, &host.io);
        if (out != nullptr)
            *out = capture.Take();
        return result;
    }

    plcsim::Simulator sim_;
    HostChannel channel_;
};

TEST_F(LineTest, RoadOfOneReadByteForByte)
{
    sim_.SetWord(1, 0x10, 0x1234);
    sim_.SetWord(1, 0x11, 0xABCD);
    LogCapture log;
    HostIo host(1, 'W', 0x0010, 2);
    std::string out;

    ASSERT_EQ(Run(CMD_BLOCK_READ, host, &out), SUCCESS);

    EXPECT_EQ(Requests(sim_), std::vector<std::string>{"/01RW0010022D\r"});
    const std::string reply = Framed("A01RW1234ABCD");
    std::string rest = reply.substr(7);
    rest.back() = '.';
    EXPECT_EQ(out, "REVIZ: 14 bytes will be send\n"
                   "(/01RW0010022D.)\n"
                   "REVIZ: 7 bytes received\n"
                   "(/A01RW1)\n"
                   "REVIZ: 10 bytes received\n"
                   "(" +
                       rest + ")\n");
    EXPECT_EQ(log.Lines(), (std::vector<LogLine>{{LEVEL_INFO, "REVIZ: 14 bytes will be send"}}));
    EXPECT_EQ(host.values[0], 0x1234);
    EXPECT_EQ(host.values[1], 0xABCD);
    EXPECT_EQ(host.values[2], 0xBEEF);
}

TEST_F(LineTest, OnlyTheReceiveSideLogsItsFullTraceLines)
{
    // 255 words: the read's reply has 30 full lines after its 7-byte header;
    // the write's frame of 1034 bytes has 31, logged none.
    struct Case {
        uint32_t code;
        size_t loggedLines;
    };
    for (const Case c : {Case{CMD_BLOCK_READ, 30}, Case{CMD_BLOCK_WRITE, 0}}) {
        SCOPED_TRACE(c.code);
        HostIo host(1, 'W', 0x100, 255);
        for (int i = 0; i < 255; ++i)
            host.values[i] = static_cast<uint16_t>(0x1000 + i);
        LogCapture log;
        std::string out;
        ASSERT_EQ(Run(c.code, host, &out), SUCCESS);
        size_t sends = 0;
        size_t lines = 0;
        for (const LogLine& line : log.Lines()) {
            if (line == LogLine{LEVEL_INFO, c.code == CMD_BLOCK_READ ? "REVIZ: 14 bytes will be send"
                                                                     : "REVIZ: 1034 bytes will be send"}) {
                ++sends;
            } else {
                // Seven spaces and the full line as printed, without its parentheses.
                EXPECT_EQ(line.level, LEVEL_INFO);
                ASSERT_EQ(line.text.size(), 7u + 33u) << line.text;
                EXPECT_EQ(line.text.substr(0, 7), "       ");
                EXPECT_NE(out.find("(" + line.text.substr(7) + ")\n"), std::string::npos) << line.text;
                ++lines;
            }
        }
        EXPECT_EQ(sends, 1u);
        EXPECT_EQ(lines, c.loggedLines);
    }
}

struct CommandFrameCase {
    const char* name;
    uint32_t code;
    int32_t station;
    char operand;
    int32_t number;
    int32_t count;
    int32_t bit;
    std::vector<uint16_t> values;
    std::string frame;
};

void PrintTo(const CommandFrameCase& c, std::ostream* os)
{
    *os << c.name;
}

class CommandFrameTest : public LineTest, public ::testing::WithParamInterface<CommandFrameCase> {};

TEST_P(CommandFrameTest, FrameOnTheLine)
{
    const CommandFrameCase& c = GetParam();
    HostIo host(c.station, c.operand, c.number, c.count, c.bit);
    std::copy(c.values.begin(), c.values.end(), host.values.begin());
    EXPECT_EQ(Run(c.code, host), SUCCESS);
    EXPECT_EQ(Requests(sim_), std::vector<std::string>{c.frame});
}

INSTANTIATE_TEST_SUITE_P(
    Commands, CommandFrameTest,
    ::testing::Values(
        CommandFrameCase{"BlockRead2Words", CMD_BLOCK_READ, 1, 'W', 0x10, 2, NO_BIT, {}, "/01RW0010022D\r"},
        CommandFrameCase{"SingleReadABit", CMD_SINGLE_READ, 2, 'A', 0x1F7, 1, NO_BIT, {}, "/02RA1F,70130\r"},
        CommandFrameCase{"BlockRead20Bits", CMD_BLOCK_READ, 1, 'B', 0x100, 20, NO_BIT, {}, "/01RB0100141B\r"},
        CommandFrameCase{
            "SingleWriteWord", CMD_SINGLE_WRITE, 1, 'W', 0x10, 1, NO_BIT, {0, 0x1234}, "/01SW0010011234F7\r"},
        CommandFrameCase{"BlockWrite3Bits", CMD_BLOCK_WRITE, 2, 'B', 0x100, 3, NO_BIT, {0b101}, "/02SB010003101AD\r"},
        CommandFrameCase{"SetBit5", CMD_SINGLE_WRITE, 1, 'W', 0x10, 1, 5, {0, 1}, "/01X100105s53\r"},
        CommandFrameCase{"ResetBit5", CMD_SINGLE_WRITE, 1, 'W', 0x10, 1, 5, {0, 2}, "/01X100105r52\r"}),
    CaseName());

TEST_F(LineTest, WritesChangeTheStationsMemory)
{
    HostIo word(1, 'W', 0x10, 1);
    word.values[1] = 0x1234;
    ASSERT_EQ(Run(CMD_SINGLE_WRITE, word), SUCCESS);
    EXPECT_EQ(sim_.Word(1, 0x10), 0x1234);

    HostIo set(1, 'W', 0x10, 1, 15);
    set.values[1] = 1;
    ASSERT_EQ(Run(CMD_SINGLE_WRITE, set), SUCCESS);
    EXPECT_EQ(sim_.Word(1, 0x10), 0x9234);
    set.values[1] = 0;
    ASSERT_EQ(Run(CMD_SINGLE_WRITE, set), SUCCESS);
    EXPECT_EQ(sim_.Word(1, 0x10), 0x1234);

    HostIo bits(2, 'B', 0x100, 17);
    bits.values[0] = 0x8001;
    bits.values[1] = 0x0001;
    ASSERT_EQ(Run(CMD_BLOCK_WRITE, bits), SUCCESS);
    for (int i = 0; i < 17; ++i)
        EXPECT_EQ(sim_.Bit(2, 'B', 0x100 + i), i == 0 || i == 15 || i == 16) << i;

    HostIo words(1, 'W', 0x200, 255);
    for (int i = 0; i < 255; ++i)
        words.values[i] = static_cast<uint16_t>(i * 257);
    ASSERT_EQ(Run(CMD_BLOCK_WRITE, words), SUCCESS);
    EXPECT_EQ(sim_.Word(1, 0x200 + 254), 254 * 257);
}

TEST_F(LineTest, ReadsFillTheValuesAsLaidOut)
{
    // Bit of a word: element 1 becomes exactly that bit, 0 or 1, whatever
    // the word's other bits are.
    struct BitCase {
        uint16_t word;
        int32_t bit;
        uint16_t value;
    };
    for (const BitCase c : {BitCase{0x1234, 4, 1}, BitCase{0x1234, 0, 0}, BitCase{0x0008, 3, 1}, BitCase{0xFFF7, 3, 0},
                            BitCase{0xFFFF, 15, 1}}) {
        sim_.SetWord(1, 0x10, c.word);
        HostIo bit(1, 'W', 0x10, 1, c.bit);
        ASSERT_EQ(Run(CMD_SINGLE_READ, bit), SUCCESS);
        EXPECT_EQ(bit.values[1], c.value) << std::hex << c.word << " bit " << c.bit;
        EXPECT_EQ(bit.values[0], 0xBEEF);
    }

    // A run of 20 bits: element 0 whole, bits 0-3 of element 1, the rest 0.
    for (int i : {0, 15, 16, 19})
        sim_.SetBit(1, 'B', 0x100 + i, true);
    HostIo run(1, 'B', 0x100, 20);
    ASSERT_EQ(Run(CMD_BLOCK_READ, run), SUCCESS);
    EXPECT_EQ(run.values[0], 0x8001);
    EXPECT_EQ(run.values[1], 0x0009);
    EXPECT_EQ(run.values[2], 0xBEEF);

    // Count 1 of a block read uses element 1 and leaves element 0.
    sim_.SetWord(2, 0xFFFF, 0xCAFE);
    HostIo one(2, 'W', 0xFFFF, 1);
    ASSERT_EQ(Run(CMD_BLOCK_READ, one), SUCCESS);
    EXPECT_EQ(one.values[0], 0xBEEF);
    EXPECT_EQ(one.values[1], 0xCAFE);

    // A and E in byte-and-bit form.
    sim_.SetBit(2, 'E', 0x1F7, true);
    HostIo e(2, 'E', 0x1F7, 1);
    ASSERT_EQ(Run(CMD_SINGLE_READ, e), SUCCESS);
    EXPECT_EQ(e.values[1], 1);

    // 255 words, the longest reply.
    for (int i = 0; i < 255; ++i)
        sim_.SetWord(1, 0x1000 + i, static_cast<uint16_t>(0xF000 + i));
    HostIo many(1, 'W', 0x1000, 255);
    ASSERT_EQ(Run(CMD_BLOCK_READ, many), SUCCESS);
    for (int i = 0; i < 255; ++i)
        ASSERT_EQ(many.values[i], 0xF000 + i) << i;
    EXPECT_EQ(many.values[255], 0xBEEF);
}

struct FailedAttemptCase {
    const char* name;
    Fault fault;
    size_t receives;  // after a failed header check the rest is not read
};

void PrintTo(const FailedAttemptCase& c, std::ostream* os)
{
    *os << c.name;
}

class FailedAttemptTest : public LineTest, public ::testing::WithParamInterface<FailedAttemptCase> {};

TEST_P(FailedAttemptTest, FourAttemptsThenRecoveryErrorWithValuesUntouched)
{
    sim_.SetWord(1, 0x10, 0x1111);
    sim_.ScriptFault(1, GetParam().fault, 4);
    HostIo host(1, 'W', 0x10, 2);
    std::string out;
    const auto start = Clock::now();

    EXPECT_EQ(Run(CMD_BLOCK_READ, host, &out), RECOVERY_ERROR);

    const auto elapsed = Clock::now() - start;
    // A silent station's last request may be taken off the line after the driver gave up on it.
    ASSERT_TRUE(sim_.WaitForRequests(4, std::chrono::seconds(5)));
    EXPECT_EQ(Requests(sim_), std::vector<std::string>(4, "/01RW0010022D\r"));
    EXPECT_EQ(Occurrences(out, "REVIZ: 14 bytes will be send\n"), 4u);
    EXPECT_EQ(Occurrences(out, " bytes received\n"), GetParam().receives);
    EXPECT_EQ(host.values[0], 0xBEEF);
    EXPECT_EQ(host.values[1], 0xBEEF);
    EXPECT_LT(elapsed, std::chrono::seconds(30));  // ended at all: kivbench measures how long
}

INSTANTIATE_TEST_SUITE_P(Faults, FailedAttemptTest,
                         ::testing::Values(FailedAttemptCase{"Silent", {FaultKind::Silent}, 4},
                                           FailedAttemptCase{"WrongStation", {FaultKind::WrongStation, 1.0, 2}, 4},
                                           FailedAttemptCase{"NotAcknowledged", {FaultKind::Nak}, 4},
                                           FailedAttemptCase{"NoSlash", {FaultKind::Noise, 1.0, 1}, 4},
                                           FailedAttemptCase{"ShortReply", {FaultKind::Truncate, 1.0, 9}, 8},
                                           FailedAttemptCase{"HeaderOnly", {FaultKind::Truncate, 1.0, 5}, 4}),
                         CaseName());

// On a line paced at 9600 baud a failing station is still sending when the
// driver gives up on its reply: whatever it sends must be over before the
// next request goes out, or it becomes that request's reply, and the next
// station's.
struct NeighbourCase {
    const char* name;
    Fault fault;  // of station 2
};

void PrintTo(const NeighbourCase& c, std::ostream* os)
{
    *os << c.name;
}

class PacedNeighbourTest : public LineTest, public ::testing::WithParamInterface<NeighbourCase> {
protected:
    static plcsim::Options PacedOptions()
    {
        plcsim::Options options = MakeOptions();
        options.pace = true;
        return options;
    }
    PacedNeighbourTest() : LineTest(PacedOptions()) {}
};

TEST_P(PacedNeighbourTest, AHealthyStationLosesNothingToAFaultyOne)
{
    sim_.SetWord(1, 0x10, 0x1234);
    sim_.SetFault(2, GetParam().fault);
    LogCapture quiet;
    constexpr int READS = 200;
    int good = 0;
    for (int i = 0; i < READS; ++i) {
        HostIo healthy(1, 'W', 0x10, 1);
        good += Run(CMD_SINGLE_READ, healthy) == SUCCESS && healthy.values[1] == 0x1234;
        if (i % 2 == 0) {
            HostIo faulty(2, 'W', 0x10, 1);
            (void)Run(CMD_SINGLE_READ, faulty);  // its own result is the fault's
        }
    }
    EXPECT_GE(good, READS * 99 / 100);
}

INSTANTIATE_TEST_SUITE_P(Faults, PacedNeighbourTest,
                         ::testing::Values(NeighbourCase{"Refuses", {FaultKind::Nak}},
                                           NeighbourCase{"AnswersAsTheHealthyOne", {FaultKind::WrongStation, 1.0, 1}},
                                           NeighbourCase{"NoiseBeforeItsReply", {FaultKind::Noise, 1.0, 3}},
                                           NeighbourCase{"JunkAfterItsReply", {FaultKind::Extra, 1.0, 3}}),
                         CaseName());

TEST_F(LineTest, SilentStationTakesAboutFourTimeOuts)
{
    LogCapture log;
    HostIo host(2, 'W', 0, 1);
    sim_.SetFault(2, {FaultKind::Silent});
    std::string out;
    const auto start = Clock::now();
    EXPECT_EQ(Run(CMD_BLOCK_READ, host, &out), RECOVERY_ERROR);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    EXPECT_GE(elapsed.count(), 4 * 100 - 20);
    EXPECT_LT(elapsed.count(), 30000);  // ended at all: kivbench's silent station measures how long
    // A request is counted once handled, which the driver does not wait for.
    ASSERT_TRUE(sim_.WaitForRequests(4, std::chrono::seconds(5)));
    EXPECT_EQ(sim_.RequestCount(), 4u);
    EXPECT_EQ(Occurrences(out, "REVIZ: 0 bytes received\n"), 4u);
    size_t failures = 0;
    for (const LogLine& line : log.Lines())
        failures += line == LogLine{LEVEL_INFO, "Receive() will return RECOVERY_ERROR"};
    EXPECT_EQ(failures, 4u);
}

TEST_F(LineTest, FirstAttemptLostSecondGood)
{
    sim_.SetWord(1, 0x10, 0x4242);
    sim_.ScriptFault(1, {FaultKind::Silent}, 1);
    HostIo host(1, 'W', 0x10, 1);
    std::string out;
    EXPECT_EQ(Run(CMD_SINGLE_READ, host, &out), SUCCESS);
    EXPECT_EQ(host.values[1], 0x4242);
    EXPECT_EQ(Occurrences(out, "REVIZ: 14 bytes will be send\n"), 2u);
    EXPECT_EQ(Requests(sim_).size(), 2u);
}

TEST_F(LineTest, WrongStationThreeTimesThenRightSucceeds)
{
    sim_.SetWord(1, 0x10, 0x0102);
    sim_.ScriptFault(1, {FaultKind::WrongStation, 1.0, 2}, 3);
    HostIo host(1, 'W', 0x10, 1);
    std::string out;
    EXPECT_EQ(Run(CMD_SINGLE_READ, host, &out), SUCCESS);
    EXPECT_EQ(host.values[1], 0x0102);
    EXPECT_EQ(Requests(sim_).size(), 4u);
    // Each wrong reply's rest stayed unread, for the next send to drain.
    EXPECT_EQ(Occurrences(out, "REVIZ: 7 bytes received\n(/A02"), 3u);
    EXPECT_EQ(Occurrences(out, " bytes received\n"), 5u);
}

TEST_F(LineTest, RestOfALongerReplyIsDrainedByTheNextExchange)
{
    sim_.SetWord(1, 0x10, 0x0A0B);
    sim_.ScriptFault(1, {FaultKind::Extra, 1.0, 40}, 1);
    HostIo host(1, 'W', 0x10, 1);
    ASSERT_EQ(Run(CMD_SINGLE_READ, host), SUCCESS);
    ASSERT_TRUE(sim_.WaitForRequests(1, std::chrono::seconds(2)));
    ASSERT_EQ(WaitForInput(channel_, 40), 40);  // the extra bytes are on the line

    sim_.SetWord(1, 0x10, 0x0C0D);
    ASSERT_EQ(Run(CMD_SINGLE_READ, host), SUCCESS);
    EXPECT_EQ(host.values[1], 0x0C0D);
    EXPECT_EQ(Requests(sim_).size(), 2u);  // no retry needed
}

TEST_F(LineTest, WriteReplies)
{
    HostIo host(1, 'W', 0x20, 1);
    host.values[1] = 7;

    // The station of a write reply is not checked.
    sim_.ScriptFault(1, {FaultKind::WrongStation, 1.0, 2}, 1);
    EXPECT_EQ(Run(CMD_SINGLE_WRITE, host), SUCCESS);
    EXPECT_EQ(Requests(sim_).size(), 1u);

    sim_.ClearRecords();
    sim_.ScriptFault(1, {FaultKind::Nak}, 4);
    std::string out;
    EXPECT_EQ(Run(CMD_SINGLE_WRITE, host, &out), RECOVERY_ERROR);
    EXPECT_EQ(Requests(sim_).size(), 4u);
    EXPECT_EQ(Occurrences(out, "REVIZ: 18 bytes will be send\n"), 4u);  // every retry sends it all
}

TEST_F(LineTest, WriteToEIsRejectedWithoutAnyOutput)
{
    LogCapture log;
    HostIo host(1, 'E', 0x10, 1);
    host.values[1] = 1;
    std::string out;
    EXPECT_EQ(Run(CMD_SINGLE_WRITE, host, &out), REJECTED);
    EXPECT_EQ(Run(CMD_BLOCK_WRITE, host, &out), REJECTED);
    EXPECT_EQ(out, "");
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_EQ(sim_.RequestCount(), 0u);
}

}  // namespace
