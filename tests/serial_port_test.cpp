// The serial layer's algorithms against the fake platform: what it asks of
// the port, in what order, and what it reports back. Virtual time makes the
// time-out cases exact.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "serial/serial_platform.h"
#include "serial/serial_port.h"
#include "tests/fake_serial_platform.h"

namespace kiv {
namespace {

using fake::FakeDevice;
using fake::FakeOp;
using fake::FakeSerialPlatform;

constexpr PortSettings SETTINGS_9600_7E1{9600, 7, 0, 2};

class SerialPortTest : public ::testing::Test {
protected:
    FakeSerialPlatform fake;
    FakeDevice& com = fake.AddDevice("COM1");

    PortHandle OpenCom(uint16_t lineFlags = 0x0303)
    {
        PortHandle h = NO_PORT;
        EXPECT_EQ(PortOpen("COM1", SETTINGS_9600_7E1, lineFlags, &h), PORT_OK);
        fake.ClearCalls();
        return h;
    }

    std::vector<uint32_t> ReadSizes() const
    {
        std::vector<uint32_t> sizes;
        for (const auto& c : fake.Calls())
            if (c.op == FakeOp::Read)
                sizes.push_back(c.result);
        return sizes;
    }
};

TEST_F(SerialPortTest, OpenConfiguresThePortAndKeepsTheRest)
{
    com.state.outX = true;                                        // switched off by the open
    const PortSettings settings{0x1234, 0x0107, 0x0100, 0x0302};  // only low bytes count
    PortHandle h = NO_PORT;
    ASSERT_EQ(PortOpen("COM1", settings, 0x0303, &h), PORT_OK);
    EXPECT_NE(h, NO_PORT);
    EXPECT_EQ(fake.Ops(), (std::vector<FakeOp>{FakeOp::Open, FakeOp::GetState, FakeOp::SetTimeouts, FakeOp::SetState,
                                               FakeOp::SetupQueues}));
    const PortTimeouts& t = com.timeouts;
    EXPECT_EQ((std::vector<uint32_t>{t.readInterval, t.readTotalMultiplier, t.readTotalConstant, t.writeTotalMultiplier,
                                     t.writeTotalConstant}),
              (std::vector<uint32_t>{0, 0, 1000, 0, 0}));
    EXPECT_EQ(com.inQueue, 1200u);
    EXPECT_EQ(com.outQueue, 1200u);

    const LineConfig& s = com.state;
    EXPECT_EQ(s.baudRate, 0x1234u);
    EXPECT_EQ(s.dataBits, 7);
    EXPECT_EQ(s.stopBits, 0);
    EXPECT_EQ(s.parity, 2);
    EXPECT_TRUE(s.binary && s.parityCheck);
    EXPECT_FALSE(s.outxCtsFlow || s.outxDsrFlow || s.dsrSensitivity || s.outX || s.inX || s.errorReplace ||
                 s.discardNull || s.abortOnError);
    EXPECT_EQ(static_cast<unsigned char>(s.errorChar), 0xFC);
    for (size_t i = 0; i < sizeof s.native; ++i)
        ASSERT_EQ(s.native[i], FakeSerialPlatform::NativePattern(i)) << "native byte " << i;
}

TEST_F(SerialPortTest, LineFlagsDecodeFirstMatchWins)
{
    struct Case {
        uint16_t flags;
        DtrControl dtr;
        RtsControl rts;
    };
    const Case cases[] = {
        {0x0303, DtrControl::On, RtsControl::On},         {0x0000, DtrControl::Off, RtsControl::Off},
        {0x0100, DtrControl::On, RtsControl::Off},        {0x0001, DtrControl::On, RtsControl::Off},
        {0x8000, DtrControl::Handshake, RtsControl::Off}, {0x8001, DtrControl::On, RtsControl::Off},
        {0x0200, DtrControl::Off, RtsControl::On},        {0x1000, DtrControl::Off, RtsControl::Handshake},
        {0x2000, DtrControl::Off, RtsControl::Toggle},    {0x3000, DtrControl::Off, RtsControl::Handshake},
        {0x3002, DtrControl::Off, RtsControl::On},        {0xB000, DtrControl::Handshake, RtsControl::Handshake},
    };
    for (const Case& c : cases) {
        PortHandle h = NO_PORT;
        ASSERT_EQ(PortOpen("COM1", SETTINGS_9600_7E1, c.flags, &h), PORT_OK);
        EXPECT_EQ(com.state.dtr, c.dtr) << std::hex << c.flags;
        EXPECT_EQ(com.state.rts, c.rts) << std::hex << c.flags;
        ASSERT_EQ(PortClose(h), PORT_OK);
    }
}

TEST_F(SerialPortTest, EveryFailedOpenStepClosesWhatItOpened)
{
    struct Case {
        FakeOp failing;
        PortStatus status;
    };
    const Case cases[] = {
        {FakeOp::Open, PORT_OPEN_FAILED},        {FakeOp::GetState, PORT_GET_STATE_FAILED},
        {FakeOp::SetTimeouts, PORT_OPEN_FAILED}, {FakeOp::SetState, PORT_SET_STATE_FAILED},
        {FakeOp::SetupQueues, PORT_OK},  // its outcome is ignored
    };
    for (const Case& c : cases) {
        FakeDevice& port = fake.AddDevice(std::string("FAIL_") + fake::FakeOpName(c.failing));
        port.Fail(c.failing);
        PortHandle h = 0xDEAD;
        EXPECT_EQ(PortOpen(port.name().c_str(), SETTINGS_9600_7E1, 0x0303, &h), c.status) << port.name();
        EXPECT_EQ(h != NO_PORT, c.status == PORT_OK) << port.name();
        EXPECT_EQ(port.isOpen(), c.status == PORT_OK) << port.name();
    }
}

TEST_F(SerialPortTest, NullDeviceIsOpenedButNeverConfigured)
{
    FakeDevice& nul = fake.AddDevice("NUL");
    nul.commDevice = false;
    nul.shareable = true;
    PortHandle h = NO_PORT;
    ASSERT_EQ(PortOpen("NUL", SETTINGS_9600_7E1, 0x0303, &h), PORT_OK);
    EXPECT_NE(h, NO_PORT);
    EXPECT_EQ(fake.Ops(), std::vector<FakeOp>{FakeOp::Open});
    // "nul" is not the shortcut: it is configured like any port, and fails so.
    FakeDevice& lower = fake.AddDevice("nul");
    lower.commDevice = false;
    EXPECT_EQ(PortOpen("nul", SETTINGS_9600_7E1, 0x0303, &h), PORT_GET_STATE_FAILED);
    EXPECT_FALSE(lower.isOpen());
}

TEST_F(SerialPortTest, SetReadTimeoutReturnsThePreviousAndSkipsNoChange)
{
    PortHandle h = OpenCom();  // 1000 ms
    com.timeouts.readInterval = 7;
    com.timeouts.writeTotalConstant = 9;
    EXPECT_EQ(PortSetReadTimeout(h, 50), 100u);
    EXPECT_EQ(com.timeouts.readTotalConstant, 500u);
    EXPECT_EQ(com.timeouts.readInterval, 7u);
    EXPECT_EQ(com.timeouts.writeTotalConstant, 9u);
    EXPECT_EQ(fake.Count(FakeOp::SetTimeouts), 1u);

    EXPECT_EQ(PortSetReadTimeout(h, 50), 50u);
    EXPECT_EQ(fake.Count(FakeOp::SetTimeouts), 1u);  // already in place

    EXPECT_EQ(PortSetReadTimeout(h, 0), 50u);
    EXPECT_EQ(com.timeouts.readTotalConstant, 0u);
    EXPECT_EQ(PortSetReadTimeout(h, 100), 0u);
}

TEST_F(SerialPortTest, SetReadTimeoutFailuresReturnZero)
{
    PortHandle h = OpenCom();
    com.Fail(FakeOp::GetTimeouts, 1);
    EXPECT_EQ(PortSetReadTimeout(h, 20), 0u);
    EXPECT_EQ(com.timeouts.readTotalConstant, 1000u);
    com.Fail(FakeOp::SetTimeouts, 1);
    EXPECT_EQ(PortSetReadTimeout(h, 20), 0u);
    EXPECT_EQ(com.timeouts.readTotalConstant, 1000u);
    // A previous time-out under 10 ms also reads as 0.
    com.timeouts.readTotalConstant = 5;
    EXPECT_EQ(PortSetReadTimeout(h, 20), 0u);
}

TEST_F(SerialPortTest, FlushDrainsInFullChunksAndRestoresTheTimeout)
{
    PortHandle h = OpenCom();
    com.Arrive(std::string(1300, 'x'));
    EXPECT_EQ(PortFlushInput(h), 0);
    EXPECT_EQ(ReadSizes(), (std::vector<uint32_t>{512, 512, 276}));
    EXPECT_EQ(com.PendingInput(), 0u);
    ASSERT_EQ(com.timeoutsSet.size(), 3u);  // open, 50 ms, back
    EXPECT_EQ(com.timeoutsSet[1].readTotalConstant, 50u);
    EXPECT_EQ(com.timeouts.readTotalConstant, 1000u);
    // Only the last, short read waited out its 50 ms.
    EXPECT_EQ(fake.NowMs(), 50u);
}

TEST_F(SerialPortTest, FlushWaitsOutAQuietLineAfterAFullChunk)
{
    PortHandle h = OpenCom();
    com.Arrive(std::string(512, 'x'));
    com.Arrive(std::string(10, 'y'), 30);   // still drained: within the 50 ms
    com.Arrive(std::string(10, 'z'), 200);  // a new reply: left alone
    EXPECT_EQ(PortFlushInput(h), 0);
    EXPECT_EQ(ReadSizes(), (std::vector<uint32_t>{512, 10}));
    EXPECT_EQ(com.PendingInput(), 10u);
    EXPECT_EQ(fake.NowMs(), 50u);
}

TEST_F(SerialPortTest, FlushRestoresThePreviousTimeoutExactly)
{
    // 0 (no time-out) and values under 10 ms cannot be told apart from a
    // failure by PortSetReadTimeout's result; the flush must still put them back.
    for (uint32_t previous : {0u, 5u, 10u, 2500u}) {
        PortHandle h = OpenCom();
        com.timeouts.readTotalConstant = previous;
        com.Arrive("stale");
        EXPECT_EQ(PortFlushInput(h), 0);
        EXPECT_EQ(com.timeouts.readTotalConstant, previous);
        ASSERT_EQ(PortClose(h), PORT_OK);
    }
}

TEST(SerialQuietGap, ThreeAndAHalfCharactersRoundedUp)
{
    struct Case {
        PortSettings settings;
        uint32_t ms;
    };
    const Case cases[] = {
        {{9600, 8, 0, 0}, 4},   // 10 bits: 3.65 ms
        {{9600, 7, 0, 2}, 4},   // 7E1 is also 10 bits
        {{9600, 8, 2, 2}, 5},   // 8E2, 12 bits: 4.38 ms
        {{1200, 8, 0, 1}, 33},  // 8O1, 11 bits: 32.08 ms
        {{300, 7, 1, 1}, 123},  // 7O1.5, 10.5 bits: 122.5 ms
        {{19200, 8, 0, 0}, 2},  // 1.82 ms: the least a gap may be
        {{57600, 8, 0, 0}, 2},
        {{0, 8, 0, 0}, 2},                 // no rate to go by
        {{9600, 0x108, 0x100, 0x100}, 4},  // only the low bytes count
    };
    for (const Case& c : cases)
        EXPECT_EQ(QuietGapMs(c.settings), c.ms) << c.settings.baudRate << " " << c.settings.dataBits;
}

// After a failed attempt the rest of what a station sends is waited out:
// the line must be quiet for a whole gap, and the wait never outlasts the
// port's own read time-out.
TEST_F(SerialPortTest, AwaitQuietDrainsUntilAGapAndNoLonger)
{
    struct Arrival {
        std::string bytes;
        uint64_t atMs;
    };
    struct Case {
        const char* name;
        uint32_t readTimeoutMs;
        std::vector<Arrival> arrivals;
        bool somethingLeft;  // for the next request's reply to see
        uint64_t endsAtMs;
    };
    std::vector<Arrival> trickle;  // a byte every 3 ms for 60 ms: never a 4 ms gap
    for (uint64_t at = 0; at < 60; at += 3)
        trickle.push_back({"n", at});
    std::vector<Arrival> endless;
    for (uint64_t at = 0; at < 3000; at += 2)
        endless.push_back({"n", at});
    const Case cases[] = {
        {"quiet already", 1000, {}, false, 4},
        {"rest of a reply still coming", 1000, {{"ABC", 1}, {"DEF", 3}, {"\r", 6}}, false, 12},
        {"a trickle without a gap", 1000, trickle, false, 64},
        {"the next reply after the gap is kept", 1000, {{"rest", 1}, {"next", 20}}, true, 8},
        {"a line that never goes quiet", 100, endless, true, 100},
        {"no read time-out: one second at most", 0, endless, true, 1000},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = "COMQ" + std::to_string(++n);
        FakeDevice& device = fake.AddDevice(name);
        PortHandle h = NO_PORT;
        ASSERT_EQ(PortOpen(name.c_str(), SETTINGS_9600_7E1, 0x0303, &h), PORT_OK);
        device.timeouts.readTotalConstant = c.readTimeoutMs;
        const uint64_t start = fake.NowMs();
        for (const Arrival& a : c.arrivals)
            device.Arrive(a.bytes, start + a.atMs);
        PortAwaitQuiet(h, 4);
        EXPECT_EQ(fake.NowMs() - start, c.endsAtMs);
        EXPECT_EQ(device.PendingInput() > 0, c.somethingLeft);
        EXPECT_EQ(device.timeouts.readTotalConstant, c.readTimeoutMs);  // put back
        EXPECT_EQ(PortClose(h), PORT_OK);
    }
}

TEST_F(SerialPortTest, FlushResultFollowsTheLastCall)
{
    struct Case {
        const char* what;
        bool clearFails;
        size_t waiting;
        int readFailsOn;  // 0: never
        int result;
        size_t reads;
    };
    const Case cases[] = {
        {"nothing waiting", false, 0, 0, 0, 0},        {"clear fails, reads work", true, 0, 0, 0, 1},
        {"clear fails, read fails", true, 0, 1, 1, 1}, {"second read fails", false, 600, 2, 1, 2},
        {"first read fails", false, 20, 1, 1, 1},
    };
    for (const Case& c : cases) {
        FakeDevice& port = fake.AddDevice(c.what);
        PortHandle h = NO_PORT;
        ASSERT_EQ(PortOpen(c.what, SETTINGS_9600_7E1, 0x0303, &h), PORT_OK);
        fake.ClearCalls();
        if (c.clearFails)
            port.Fail(FakeOp::ClearError);
        if (c.readFailsOn)
            port.Fail(FakeOp::Read, c.readFailsOn);
        port.Arrive(std::string(c.waiting, 'x'));
        EXPECT_EQ(PortFlushInput(h), c.result) << c.what;
        EXPECT_EQ(fake.Count(FakeOp::Read), c.reads) << c.what;
        EXPECT_EQ(port.timeouts.readTotalConstant, 1000u) << c.what;
    }
}

TEST_F(SerialPortTest, ReadCollectsAReplyThatStraddlesATimeout)
{
    PortHandle h = OpenCom();  // 1000 ms
    com.Arrive("1234567", 100);
    com.Arrive("abcdef", 1500);
    uint8_t buffer[13] = {};
    uint32_t got = 99;
    EXPECT_EQ(PortRead(h, buffer, 13, &got), PORT_OK);
    EXPECT_EQ(got, 13u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 13), "1234567abcdef");
    EXPECT_EQ(ReadSizes(), (std::vector<uint32_t>{7, 6}));
    EXPECT_EQ(fake.Calls()[1].size, 6u);  // the second read asks only for the rest
    EXPECT_EQ(fake.NowMs(), 1500u);
}

TEST_F(SerialPortTest, ReadEndsOnASilentTimeoutKeepingWhatCame)
{
    PortHandle h = OpenCom();
    com.Arrive("1234567", 100);
    uint8_t buffer[13] = {};
    uint32_t got = 99;
    EXPECT_EQ(PortRead(h, buffer, 13, &got), PORT_IO_FAILED);
    EXPECT_EQ(got, 7u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 7), "1234567");
    EXPECT_EQ(fake.NowMs(), 2000u);  // the second read waited its whole time-out
}

TEST_F(SerialPortTest, ReadFailuresKeepWhatArrivedBefore)
{
    struct Case {
        int failOn;
        uint32_t got;
    };
    for (const Case c : {Case{1, 0}, Case{2, 4}}) {
        FakeDevice& port = fake.AddDevice("R" + std::to_string(c.failOn));
        PortHandle h = NO_PORT;
        ASSERT_EQ(PortOpen(port.name().c_str(), SETTINGS_9600_7E1, 0x0303, &h), PORT_OK);
        port.ScriptRead(true, "abcd");
        port.Fail(FakeOp::Read, c.failOn);
        port.Arrive("efgh");
        uint8_t buffer[8];
        uint32_t got = 99;
        EXPECT_EQ(PortRead(h, buffer, 8, &got), PORT_IO_FAILED);
        EXPECT_EQ(got, c.got);
    }
}

TEST_F(SerialPortTest, WriteReportsShortAndFailedWrites)
{
    PortHandle h = OpenCom();
    const uint8_t frame[14] = {'/', '0', '1', 'R', 'W', '0', '0', '1', '0', '0', '2', '2', 'D', '\r'};
    uint32_t written = 99;
    EXPECT_EQ(PortWrite(h, frame, 14, &written), PORT_OK);
    EXPECT_EQ(written, 14u);
    EXPECT_EQ(com.written, std::vector<uint8_t>(frame, frame + 14));

    com.writeLimit = 5;
    EXPECT_EQ(PortWrite(h, frame, 14, &written), PORT_SHORT_WRITE);
    EXPECT_EQ(written, 5u);

    com.Fail(FakeOp::Write);
    written = 99;
    EXPECT_EQ(PortWrite(h, frame, 14, &written), PORT_IO_FAILED);
    EXPECT_EQ(written, 99u);
    EXPECT_EQ(fake.Count(FakeOp::Write), 3u);  // one platform write per call
}

TEST_F(SerialPortTest, NullHandleFailsAtOnce)
{
    uint8_t buffer[4] = {1, 2, 3, 4};
    uint32_t count = 99;
    EXPECT_EQ(PortRead(NO_PORT, buffer, 4, &count), PORT_IO_FAILED);
    EXPECT_EQ(count, 0u);
    count = 99;
    EXPECT_EQ(PortWrite(NO_PORT, buffer, 4, &count), PORT_IO_FAILED);
    EXPECT_EQ(count, 99u);
    EXPECT_EQ(PortFlushInput(NO_PORT), 1);
    EXPECT_EQ(PortSetReadTimeout(NO_PORT, 50), 0u);
    EXPECT_EQ(PortClose(NO_PORT), PORT_IO_FAILED);
    EXPECT_EQ(PortSendBreak(100, NO_PORT), 0);
    EXPECT_TRUE(fake.Calls().empty());
    EXPECT_EQ(fake.NowMs(), 0u);
}

TEST_F(SerialPortTest, CloseFailureAndEmptyRead)
{
    PortHandle h = OpenCom();
    uint8_t buffer[1];
    uint32_t got = 99;
    EXPECT_EQ(PortRead(h, buffer, 0, &got), PORT_OK);  // nothing asked: no wait, no "no byte" failure
    EXPECT_EQ(got, 0u);
    EXPECT_TRUE(fake.Calls().empty());
    // A failed close still lets the handle go: no platform leaves it usable.
    com.Fail(FakeOp::Close, 1);
    EXPECT_EQ(PortClose(h), PORT_IO_FAILED);
    EXPECT_FALSE(PortIsOpen(h));
    fake.ClearCalls();
    EXPECT_EQ(PortClose(h), PORT_IO_FAILED);
    EXPECT_TRUE(fake.Calls().empty());
}

TEST_F(SerialPortTest, CloseReachesOnlyPortsTheLayerHolds)
{
    const int channelA = 0, channelB = 0;  // owners are addresses
    PortHandle held = NO_PORT;
    ASSERT_EQ(PortOpen("COM1", SETTINGS_9600_7E1, 0x0303, &held, &channelA), PORT_OK);
    FakeDevice& other = fake.AddDevice("COM2");
    PortHandle closed = NO_PORT;
    ASSERT_EQ(PortOpen("COM2", SETTINGS_9600_7E1, 0x0303, &closed, &channelB), PORT_OK);
    ASSERT_EQ(PortClose(closed), PORT_OK);
    // Opened behind the layer's back, as a host's own file would be.
    FakeDevice& hosts = fake.AddDevice("HOSTFILE");
    PortHandle foreign = NO_PORT;
    ASSERT_TRUE(FakeSerialPlatform::Table().open("HOSTFILE", &foreign));

    EXPECT_TRUE(PortIsOpen(held));
    EXPECT_TRUE(PortOpenedBy(held, &channelA));
    EXPECT_FALSE(PortOpenedBy(held, &channelB));
    EXPECT_FALSE(PortOpenedBy(held, nullptr));
    fake.ClearCalls();
    for (PortHandle stale : {closed, foreign, held + 1000, NO_PORT}) {
        EXPECT_FALSE(PortIsOpen(stale)) << std::hex << stale;
        EXPECT_FALSE(PortOpenedBy(stale, &channelB)) << std::hex << stale;
        EXPECT_EQ(PortClose(stale), PORT_IO_FAILED) << std::hex << stale;
    }
    EXPECT_TRUE(fake.Calls().empty());
    EXPECT_TRUE(hosts.isOpen());
    EXPECT_FALSE(other.isOpen());

    ASSERT_EQ(PortClose(held), PORT_OK);
    EXPECT_FALSE(PortIsOpen(held));
    EXPECT_FALSE(PortOpenedBy(held, &channelA));
}

TEST_F(SerialPortTest, FullTableRefusesBeforeTheDeviceIsTouched)
{
    FakeDevice& nul = fake.AddDevice("NUL");
    nul.commDevice = false;
    nul.shareable = true;
    std::vector<PortHandle> handles;
    PortHandle h = NO_PORT;
    while (handles.size() <= OPEN_PORT_LIMIT && PortOpen("NUL", SETTINGS_9600_7E1, 0x0303, &h) == PORT_OK)
        handles.push_back(h);
    EXPECT_EQ(handles.size(), OPEN_PORT_LIMIT);
    fake.ClearCalls();
    EXPECT_EQ(PortOpen("NUL", SETTINGS_9600_7E1, 0x0303, &h), PORT_OPEN_FAILED);
    EXPECT_EQ(h, NO_PORT);
    EXPECT_TRUE(fake.Calls().empty());

    ASSERT_EQ(PortClose(handles.back()), PORT_OK);
    handles.pop_back();
    ASSERT_EQ(PortOpen("NUL", SETTINGS_9600_7E1, 0x0303, &h), PORT_OK);
    handles.push_back(h);
    for (PortHandle held : handles)
        EXPECT_EQ(PortClose(held), PORT_OK);
}

TEST_F(SerialPortTest, BreakHoldsTheLineForItsTime)
{
    PortHandle h = OpenCom();
    EXPECT_EQ(PortSendBreak(250, h), 0);
    EXPECT_EQ(fake.Ops(), (std::vector<FakeOp>{FakeOp::SetBreak, FakeOp::Sleep, FakeOp::SetBreak}));
    EXPECT_FALSE(com.breakOn);
    EXPECT_EQ(fake.NowMs(), 250u);
}

TEST(SerialCrc16, KnownValues)
{
    struct Case {
        std::vector<uint8_t> data;
        uint16_t crc;
    };
    const Case cases[] = {
        {{'1', '2', '3', '4', '5', '6', '7', '8', '9'}, 0x4B37},  // the check value of CRC-16/MODBUS
        {{}, 0xFFFF},
        {{0x01, 0x03, 0x00, 0x00, 0x00, 0x0A}, 0xCDC5},  // sent low byte first: C5 CD
    };
    for (const Case& c : cases)
        EXPECT_EQ(Crc16(c.data.data(), static_cast<uint32_t>(c.data.size())), c.crc);
}

}  // namespace
}  // namespace kiv
