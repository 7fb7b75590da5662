// Starting, closing, reopening, reconfiguring and ending channels: what each
// command leaves in the channel block and on the line. Bad host input, null
// blocks included, is bad_input_test.cpp's.
#include <gtest/gtest.h>

#include <chrono>

#include "serial/serial_port.h"
#include "tests/driver_fixture.h"
#include "tests/reliability_support.h"

namespace {

using plcsim::Fault;
using plcsim::FaultKind;

const LogLine INSTALLED{LEVEL_INFO, "REVIZ: \xB0\xB0\xB1\xB1\xB2\xB2\xDB\xDB 32 Bit driver Installed "
                                    "\xDB\xDB\xB2\xB2\xB1\xB1\xB0\xB0"};
const LogLine ENDED{LEVEL_INFO, "REVIZ: \xB0\xB0\xB1\xB1\xB2\xB2\xDB\xDB 32 Bit driver Ended "
                                "\xDB\xDB\xB2\xB2\xB1\xB1\xB0\xB0"};
const LogLine NEW_PORT_FAILED{LEVEL_ERROR, "REVUD> ChangeKivParams() open new COM port failed"};

class LifecycleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        kiv::ResetDriverEndedForTests();
        simA_.StartPty();
        simB_.StartPty();
    }
    void TearDown() override
    {
        kiv::ResetDriverEndedForTests();
        for (HostChannel* channel : {&one_, &two_})
            (void)channel->Call(CMD_CLOSE_COM);  // tear-down: what the test checks is done
        kiv::ResetDriverEndedForTests();
    }

    LogCapture quietLog_;  // tests that look at the log put their own capture in front

    int32_t ReadWord(HostChannel& channel, uint16_t* value)
    {
        StdoutCapture quiet;
        HostIo host(1, 'W', 0, 1);
        const int32_t result = channel.Call(CMD_SINGLE_READ, &host.io);
        *value = host.values[1];
        return result;
    }

    plcsim::Simulator simA_, simB_;
    HostChannel one_, two_;
};

TEST_F(LifecycleTest, ColdStartOpensLogsAndSetsTheTimeOut)
{
    LogCapture log;
    ASSERT_EQ(one_.ColdStart(simA_.SlavePath(), 50), SUCCESS);
    EXPECT_EQ(log.Lines(), std::vector<LogLine>{INSTALLED});
    EXPECT_EQ(one_.block.portEnabled, 1u);
    EXPECT_EQ(one_.block.readTimeout, 50u);
    EXPECT_NE(one_.block.portHandle, 0u);
    EXPECT_EQ(one_.block.lineFlags, 0x0303);
    EXPECT_STREQ(one_.block.portName, simA_.SlavePath().c_str());
    EXPECT_FALSE(PortIsFree(simA_.SlavePath()));

    // 500 ms now; after CloseCom and ReOpenCom the port is back at 1000 ms.
    EXPECT_EQ(kiv::PortSetReadTimeout(one_.block.portHandle, 50), 50u);
    ASSERT_EQ(one_.Call(CMD_CLOSE_COM), SUCCESS);
    EXPECT_EQ(one_.block.portEnabled, 0u);
    EXPECT_EQ(one_.block.portHandle, 0u);
    EXPECT_TRUE(PortIsFree(simA_.SlavePath()));
    ASSERT_EQ(one_.Call(CMD_REOPEN_COM), SUCCESS);
    EXPECT_EQ(one_.block.portEnabled, 1u);
    EXPECT_EQ(kiv::PortSetReadTimeout(one_.block.portHandle, 100), 100u);
    EXPECT_EQ(one_.block.readTimeout, 50u);
}

TEST_F(LifecycleTest, EnableZeroOpensNothing)
{
    LogCapture log;
    std::strcpy(one_.block.portName, "before");
    ASSERT_EQ(one_.ColdStart(simA_.SlavePath(), 30, 0), SUCCESS);
    EXPECT_EQ(one_.block.portEnabled, 0u);
    EXPECT_EQ(one_.block.portHandle, 0u);
    EXPECT_EQ(one_.block.readTimeout, 30u);
    EXPECT_STREQ(one_.block.portName, "before");
    EXPECT_EQ(one_.block.lineFlags, 0);

    uint16_t value = 0;
    EXPECT_EQ(ReadWord(one_, &value), REJECTED);
    EXPECT_EQ(one_.Call(CMD_WARM_START), SUCCESS);
    EXPECT_EQ(one_.Call(CMD_CLOSE_COM), SUCCESS);
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_EQ(simA_.RequestCount(), 0u);
}

TEST_F(LifecycleTest, MissingPortFailsSilentlyAndStaysEnabled)
{
    LogCapture log;
    EXPECT_EQ(one_.ColdStart("/dev/nope0", 10), RECOVERY_ERROR);
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_EQ(one_.block.portEnabled, 1u);
    EXPECT_EQ(one_.block.portHandle, 0u);
    EXPECT_STREQ(one_.block.portName, "/dev/nope0");

    // Enabled but not open: reads try and fail, quickly.
    uint16_t value = 0;
    EXPECT_EQ(ReadWord(one_, &value), RECOVERY_ERROR);
    EXPECT_EQ(one_.Call(CMD_REOPEN_COM), RECOVERY_ERROR);
    EXPECT_EQ(one_.block.portHandle, 0u);
}

TEST_F(LifecycleTest, ChangeToAnotherPortClosesTheOldOneFirst)
{
    simA_.SetWord(1, 0, 0xAAAA);
    simB_.SetWord(1, 0, 0xBBBB);
    ASSERT_EQ(one_.ColdStart(simA_.SlavePath(), 20), SUCCESS);
    ASSERT_EQ(one_.ChangeParams(simB_.SlavePath(), PortSettings{0, 7, 2, 2}), SUCCESS);
    EXPECT_TRUE(PortIsFree(simA_.SlavePath()));
    EXPECT_FALSE(PortIsFree(simB_.SlavePath()));
    EXPECT_EQ(one_.block.portEnabled, 1u);
    // baud 0 keeps the stored settings, all four of them.
    EXPECT_EQ(one_.block.settings.baudRate, 9600);
    EXPECT_EQ(one_.block.settings.dataBits, 8);
    EXPECT_EQ(one_.block.settings.parity, 0);
    EXPECT_EQ(kiv::PortSetReadTimeout(one_.block.portHandle, 20), 20u);  // the channel's time-out applied

    uint16_t value = 0;
    ASSERT_EQ(ReadWord(one_, &value), SUCCESS);
    EXPECT_EQ(value, 0xBBBB);

    ASSERT_EQ(one_.ChangeParams(simA_.SlavePath(), PortSettings{19200, 7, 2, 2}), SUCCESS);
    EXPECT_EQ(one_.block.settings.baudRate, 19200);
    EXPECT_EQ(one_.block.settings.dataBits, 7);
    EXPECT_EQ(one_.block.settings.stopBits, 2);
    EXPECT_EQ(one_.block.settings.parity, 2);
}

TEST_F(LifecycleTest, ChangeToAPortThatCannotOpenLeavesTheChannelDisabled)
{
    ASSERT_EQ(one_.ColdStart(simA_.SlavePath(), 20), SUCCESS);
    LogCapture log;
    EXPECT_EQ(one_.ChangeParams("/dev/nope1", PortSettings{4800, 8, 0, 0}), RECOVERY_ERROR);
    EXPECT_EQ(log.Lines(), std::vector<LogLine>{NEW_PORT_FAILED});
    EXPECT_EQ(one_.block.portEnabled, 0u);
    EXPECT_EQ(one_.block.portHandle, 0u);
    EXPECT_STREQ(one_.block.portName, "/dev/nope1");
    EXPECT_EQ(one_.block.settings.baudRate, 4800);
    EXPECT_TRUE(PortIsFree(simA_.SlavePath()));
}

TEST_F(LifecycleTest, SecondOpenOfTheSameDeviceFailsAndKeepsTheOldPort)
{
    ASSERT_EQ(one_.ColdStart(simA_.SlavePath(), 20), SUCCESS);
    const uint32_t handle = one_.block.portHandle;

    EXPECT_EQ(one_.Call(CMD_REOPEN_COM), RECOVERY_ERROR);
    EXPECT_EQ(one_.block.portHandle, handle);

    EXPECT_EQ(one_.ChangeParams(simA_.SlavePath(), PortSettings{19200, 8, 0, 0}), RECOVERY_ERROR);
    EXPECT_EQ(one_.block.portHandle, handle);
    EXPECT_EQ(one_.block.portEnabled, 1u);
    EXPECT_EQ(one_.block.settings.baudRate, 19200);  // stored although the port runs on at 9600
    uint16_t value = 0;
    EXPECT_EQ(ReadWord(one_, &value), SUCCESS);
}

TEST_F(LifecycleTest, WarmStartDrainsAnEnabledChannelsInputAndTouchesNothingElse)
{
    ASSERT_EQ(one_.ColdStart(simA_.SlavePath(), 20), SUCCESS);
    for (const bool enabled : {false, true}) {
        SCOPED_TRACE(enabled ? "enabled" : "disabled");
        one_.block.portEnabled = 1;
        simA_.ScriptFault(1, {FaultKind::Extra, 1.0, 30}, 1);  // left behind by the reply
        const uint64_t earlier = simA_.RequestCount();
        uint16_t value = 0;
        ASSERT_EQ(ReadWord(one_, &value), SUCCESS);
        // The simulator counts a request after writing its reply, which the
        // driver may have read already: the count taken below must be final.
        ASSERT_TRUE(simA_.WaitForRequests(earlier + 1, std::chrono::seconds(5)));
        ASSERT_EQ(WaitForInput(one_, 30), 30);

        one_.block.portEnabled = enabled ? 1 : 0;
        const ChannelBlock before = one_.block;
        const uint64_t requests = simA_.RequestCount();
        LogCapture log;
        StdoutCapture out;
        EXPECT_EQ(one_.Call(CMD_WARM_START), SUCCESS);
        EXPECT_EQ(out.Take(), "");
        EXPECT_TRUE(log.Lines().empty());
        EXPECT_EQ(std::memcmp(&one_.block, &before, sizeof before), 0);
        EXPECT_EQ(simA_.RequestCount(), requests);
        EXPECT_EQ(InputWaiting(one_), enabled ? 0 : 30);
        EXPECT_EQ(kiv::PortSetReadTimeout(one_.block.portHandle, 20), 20u);  // the time-out as it was
    }
}

TEST_F(LifecycleTest, ColdStartOnAnOpenChannelClosesItsPortFirst)
{
    ASSERT_EQ(one_.ColdStart(simA_.SlavePath(), 20), SUCCESS);
    // Without the close, the exclusive device could not be opened again.
    ASSERT_EQ(one_.ColdStart(simA_.SlavePath(), 20), SUCCESS);
    ASSERT_EQ(one_.ColdStart(simB_.SlavePath(), 20), SUCCESS);
    EXPECT_TRUE(PortIsFree(simA_.SlavePath()));
    ASSERT_EQ(one_.ColdStart(simB_.SlavePath(), 20, 0), SUCCESS);
    EXPECT_TRUE(PortIsFree(simB_.SlavePath()));
}

TEST_F(LifecycleTest, StaleHandlesInABlockAreNeverClosed)
{
    // Live ports of others: another channel's line, and a NUL channel that
    // took over the slot of a port closed before.
    ASSERT_EQ(two_.ColdStart(simB_.SlavePath(), 20), SUCCESS);
    kiv::PortHandle closed = kiv::NO_PORT;
    ASSERT_EQ(kiv::PortOpen("NUL", Settings8N1(), LINE_FLAGS_DTR_RTS_ON, &closed), kiv::PORT_OK);
    ASSERT_EQ(kiv::PortClose(closed), kiv::PORT_OK);
    HostChannel nul;
    ASSERT_EQ(nul.ColdStart("NUL", 20), SUCCESS);
    ASSERT_EQ(nul.block.portHandle & 0xFF, closed & 0xFF);  // the same slot, a new generation

    struct Case {
        const char* what;
        uint32_t handle;
        bool held;  // a port the driver holds: only ColdStart leaves it alone
    };
    const Case cases[] = {
        {"garbage", 0x6B6B6B6B, false},
        {"a reused slot's old handle", closed, false},
        {"another channel's live handle", two_.block.portHandle, true},
        {"the live handle of the slot's new port", nul.block.portHandle, true},
    };
    const uint32_t codes[] = {CMD_COLD_START, CMD_CLOSE_COM, CMD_END_KIV, CMD_REOPEN_COM, CMD_CHANGE_KIV_PARAMS};
    for (const Case& c : cases) {
        for (uint32_t code : codes) {
            if (c.held && code != CMD_COLD_START)
                continue;
            SCOPED_TRACE(testing::Message() << c.what << ", command " << code);
            HostChannel stale;
            std::memset(&stale.block, 0x6B, sizeof stale.block);
            stale.block.portHandle = c.handle;
            std::strcpy(stale.block.portName, simA_.SlavePath().c_str());
            stale.block.settings = Settings8N1();
            int32_t result = RECOVERY_ERROR;
            if (code == CMD_COLD_START)
                result = stale.ColdStart(simA_.SlavePath(), 20);
            else if (code == CMD_CHANGE_KIV_PARAMS)
                result = stale.ChangeParams(simA_.SlavePath(), Settings8N1());
            else
                result = stale.Call(code);
            kiv::ResetDriverEndedForTests();
            EXPECT_EQ(result, SUCCESS);
            // A handle the driver does not hold is forgotten by a close.
            if (code == CMD_CLOSE_COM || code == CMD_END_KIV) {
                EXPECT_EQ(stale.block.portHandle, 0u);
            }

            uint16_t value = 0;
            EXPECT_EQ(ReadWord(two_, &value), SUCCESS);
            EXPECT_TRUE(kiv::PortIsOpen(nul.block.portHandle));
            EXPECT_EQ(stale.Call(CMD_CLOSE_COM), SUCCESS);
            EXPECT_TRUE(PortIsFree(simA_.SlavePath()));
        }
    }
    // A started block that the host moves is still the channel.
    HostChannel moved;
    std::memcpy(&moved.block, &two_.block, sizeof moved.block);
    two_.block = ChannelBlock{};
    EXPECT_EQ(moved.Call(CMD_CLOSE_COM), SUCCESS);
    EXPECT_TRUE(PortIsFree(simB_.SlavePath()));
    EXPECT_EQ(nul.Call(CMD_CLOSE_COM), SUCCESS);
}

TEST_F(LifecycleTest, NullDeviceReopenedManyTimesLeavesNoDescriptorBehind)
{
    ASSERT_EQ(one_.ColdStart("NUL", 10), SUCCESS);
    const int before = reliability::OpenDescriptors();
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(one_.Call(CMD_REOPEN_COM), SUCCESS);
        ASSERT_EQ(one_.ChangeParams("NUL", PortSettings{0, 0, 0, 0}), SUCCESS);
    }
    EXPECT_EQ(reliability::OpenDescriptors(), before);
    ASSERT_EQ(one_.Call(CMD_CLOSE_COM), SUCCESS);
    EXPECT_EQ(reliability::OpenDescriptors(), before - 1);
}

TEST_F(LifecycleTest, NamesOfElevenCharactersFitExactly)
{
    // Twelve and more are refused (bad_input_test.cpp); eleven leave room for the NUL.
    ASSERT_EQ(one_.ColdStart(simA_.SlavePath(), 20), SUCCESS);
    ChangeParamsBlock change{};
    std::strcpy(change.portName, "/dev/nope23");
    change.settings = Settings8N1();
    EXPECT_EQ(one_.Call(CMD_CHANGE_KIV_PARAMS, &change), RECOVERY_ERROR);
    EXPECT_STREQ(one_.block.portName, "/dev/nope23");
}

TEST_F(LifecycleTest, EndKivOnADisabledChannelStillLogs)
{
    LogCapture log;
    EXPECT_EQ(one_.Call(CMD_END_KIV), SUCCESS);
    EXPECT_EQ(log.Lines(), std::vector<LogLine>{ENDED});
    EXPECT_TRUE(kiv::DriverEnded());
}

TEST_F(LifecycleTest, FirstEndKivEndsTheWholeDriver)
{
    ASSERT_EQ(one_.ColdStart(simA_.SlavePath(), 20), SUCCESS);
    ASSERT_EQ(two_.ColdStart(simB_.SlavePath(), 20), SUCCESS);
    LogCapture log;

    EXPECT_EQ(one_.Call(CMD_END_KIV), SUCCESS);
    EXPECT_EQ(log.Lines(), std::vector<LogLine>{ENDED});
    EXPECT_EQ(one_.block.portHandle, 0u);
    EXPECT_TRUE(PortIsFree(simA_.SlavePath()));

    log.Clear();
    const ChannelBlock before = two_.block;
    EXPECT_EQ(two_.Call(CMD_END_KIV), SUCCESS);
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_EQ(std::memcmp(&two_.block, &before, sizeof before), 0);
    EXPECT_FALSE(PortIsFree(simB_.SlavePath()));

    // Nothing runs any more: not even a ColdStart opens or logs.
    HostChannel three;
    EXPECT_EQ(three.ColdStart(simA_.SlavePath(), 20), SUCCESS);
    EXPECT_EQ(three.block.portHandle, 0u);
    EXPECT_TRUE(log.Lines().empty());
    uint16_t value = 0;
    EXPECT_EQ(ReadWord(two_, &value), SUCCESS);
    EXPECT_EQ(simB_.RequestCount(), 0u);
}

TEST_F(LifecycleTest, ZeroTimeOutWaitsForTheReplyAndSurvivesAFlush)
{
    ASSERT_EQ(one_.ColdStart(simA_.SlavePath(), 0), SUCCESS);
    simA_.SetWord(1, 0, 0x0F0F);
    // A reply later than the usual second still arrives: there is no time-out.
    simA_.ScriptFault(1, {FaultKind::Delay, 1.0, 1200}, 1);
    // ... and leaves bytes behind that the next send must drain.
    simA_.ScriptFault(1, {FaultKind::Extra, 1.0, 30}, 1);
    uint16_t value = 0;
    ASSERT_EQ(ReadWord(one_, &value), SUCCESS);
    EXPECT_EQ(value, 0x0F0F);
    ASSERT_EQ(ReadWord(one_, &value), SUCCESS);
    ASSERT_EQ(WaitForInput(one_, 30), 30);
    ASSERT_EQ(ReadWord(one_, &value), SUCCESS);  // this send flushed the extra bytes
    // The drain restored the time-out of 0 exactly, not 50 ms.
    EXPECT_EQ(kiv::PortSetReadTimeout(one_.block.portHandle, 0), 0u);
    simA_.ScriptFault(1, {FaultKind::Delay, 1.0, 300}, 1);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(ReadWord(one_, &value), SUCCESS);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
    // Counted after its reply is written, which the driver may have read already.
    ASSERT_TRUE(simA_.WaitForRequests(4, std::chrono::seconds(5)));
    EXPECT_EQ(simA_.RequestCount(), 4u);
}

}  // namespace
