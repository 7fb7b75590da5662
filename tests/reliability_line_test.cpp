// The line itself failing: the device vanishes (the other end of the
// pseudo-terminal is closed, as a pulled USB adapter does) while the driver
// waits for a reply. The exchange must end with RECOVERY_ERROR within its
// attempts' time-outs, leave the values alone, and the host must get the
// channel working again once the device is back under the same name.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tests/case_name.h"
#include "tests/driver_fixture.h"
#include "tests/reliability_support.h"
#include "tests/wait_until.h"

namespace {

using plcsim::Fault;
using plcsim::FaultKind;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

constexpr uint32_t TIMEOUT_UNITS = 10;  // 100 ms
constexpr uint16_t FILL = 0xBEEF;

enum class Recovery { ReOpenCom, CloseComThenReOpenCom, ChangeKivParamsSameName };

struct VanishCase {
    const char* name;
    bool read;
    Fault fault;        // holds the reply back while the line goes
    Recovery recovery;  // how the host gets the channel back
};

void PrintTo(const VanishCase& c, std::ostream* os)
{
    *os << c.name;
}

class DeviceVanishes : public ::testing::TestWithParam<VanishCase> {
protected:
    DeviceVanishes() : link_(reliability::UniqueLinkPath()), sim_(Options(link_, &requests_)) {}

    static plcsim::Options Options(const std::string& link, std::atomic<int>* requests)
    {
        plcsim::Options options;
        options.stations = {1};
        options.link = link;
        options.onRecord = [requests](const plcsim::Record& record) {
            if (record.direction == plcsim::Record::Direction::Request)
                requests->fetch_add(1);
        };
        return options;
    }

    void SetUp() override
    {
        kiv::ResetDriverEndedForTests();
        sim_.StartPty();
    }
    void TearDown() override
    {
        (void)channel_.Call(CMD_CLOSE_COM);  // tear-down: what the test checks is done
        sim_.Stop();
    }

    // Pulls the line as soon as the station has taken a request, plus a
    // little, so that a split reply's first piece is on its way.
    std::thread UnplugAfterNextRequest()
    {
        const int seen = requests_.load();
        return std::thread([this, seen] {
            WaitUntil([this, seen] { return requests_.load() != seen; }, std::chrono::seconds(10), Ms(1));
            // The stimulus: the line goes a moment into the reply, not once it is over.
            std::this_thread::sleep_for(Ms(20));
            sim_.Unplug();
        });
    }

    int32_t Exchange(bool read, HostIo& host)
    {
        return channel_.Call(read ? CMD_BLOCK_READ : CMD_BLOCK_WRITE, &host.io);
    }

    std::string link_;
    std::atomic<int> requests_{0};
    plcsim::Simulator sim_;
    HostChannel channel_;
};

TEST_P(DeviceVanishes, MidExchangeThenBackUnderTheSameName)
{
    const VanishCase& c = GetParam();
    reliability::CountingLog log;
    sim_.SetWord(1, 0x10, 0x1111);
    sim_.SetWord(1, 0x11, 0x2222);
    const std::set<int> descriptorsBefore = reliability::OpenDescriptorSet();
    ASSERT_EQ(channel_.ColdStart(link_, TIMEOUT_UNITS), SUCCESS) << link_;

    // The line goes while the driver waits for the reply.
    sim_.ScriptFault(1, c.fault, 1);
    HostIo host(1, 'W', 0x10, 2, NO_BIT, FILL);
    host.values[0] = 0x3333;
    host.values[1] = 0x4444;
    const std::vector<uint16_t> before = host.values;
    std::thread unplug = UnplugAfterNextRequest();
    auto start = Clock::now();
    const int32_t result = Exchange(c.read, host);
    const auto elapsed = Clock::now() - start;
    unplug.join();
    EXPECT_EQ(result, RECOVERY_ERROR);
    EXPECT_LT(elapsed, std::chrono::seconds(30));  // ended, not hung on the vanished line
    EXPECT_EQ(host.values, before);

    // While it is gone every exchange fails at once, and it cannot be
    // reopened. Every send fails, and no attempt then waits for a reply.
    start = Clock::now();
    StdoutCapture trace;
    EXPECT_EQ(Exchange(c.read, host), RECOVERY_ERROR);
    const std::string out = trace.Take();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(host.values, before);
    EXPECT_EQ(out.find(" bytes received"), std::string::npos) << out;
    EXPECT_NE(out.find(" bytes will be send"), std::string::npos) << out;
    EXPECT_EQ(channel_.Call(CMD_WARM_START), SUCCESS);

    // Back, under the same name (the link now names a new pseudo-terminal).
    sim_.Replug();
    switch (c.recovery) {
    case Recovery::ReOpenCom: ASSERT_EQ(channel_.Call(CMD_REOPEN_COM), SUCCESS); break;
    case Recovery::CloseComThenReOpenCom:
        ASSERT_EQ(channel_.Call(CMD_CLOSE_COM), SUCCESS);
        ASSERT_EQ(channel_.Call(CMD_REOPEN_COM), SUCCESS);
        break;
    case Recovery::ChangeKivParamsSameName:
        ASSERT_EQ(channel_.ChangeParams(link_, PortSettings{0, 0, 0, 0}), SUCCESS);
        break;
    }
    EXPECT_EQ(channel_.block.portEnabled, 1u);

    HostIo write(1, 'W', 0x20, 1);
    write.values[1] = 0x5A5A;
    EXPECT_EQ(channel_.Call(CMD_SINGLE_WRITE, &write.io), SUCCESS);
    EXPECT_EQ(sim_.Word(1, 0x20), 0x5A5A);
    // A write the station took before the line went has landed, whole.
    const uint16_t first = c.read ? 0x1111 : 0x3333;
    const uint16_t second = c.read ? 0x2222 : 0x4444;
    HostIo read(1, 'W', 0x10, 2, NO_BIT, FILL);
    ASSERT_EQ(channel_.Call(CMD_BLOCK_READ, &read.io), SUCCESS);
    EXPECT_EQ(read.values[0], first);
    EXPECT_EQ(read.values[1], second);

    // The handle of the vanished line was closed along the way.
    ASSERT_EQ(channel_.Call(CMD_CLOSE_COM), SUCCESS);
    EXPECT_TRUE(reliability::OpenedSince(descriptorsBefore).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Line, DeviceVanishes,
    ::testing::Values(
        VanishCase{"ReadWaitingForALateReplyThenReOpenCom", true, {FaultKind::Delay, 1.0, 2000}, Recovery::ReOpenCom},
        VanishCase{"ReadHalfWayThroughASplitReplyThenCloseAndReOpen",
                   true,
                   {FaultKind::Split, 1.0, 2, 2000},
                   Recovery::CloseComThenReOpenCom},
        VanishCase{"WriteWaitingForALateReplyThenChangeKivParams",
                   false,
                   {FaultKind::Delay, 1.0, 2000},
                   Recovery::ChangeKivParamsSameName},
        VanishCase{
            "ReadOfASilentStationThenChangeKivParams", true, {FaultKind::Silent}, Recovery::ChangeKivParamsSameName}),
    CaseName());

TEST(DeviceGone, ReOpenComFailsUntilItIsBackAndTheChannelIsUnchanged)
{
    kiv::ResetDriverEndedForTests();
    reliability::CountingLog log;
    const std::string link = reliability::UniqueLinkPath();
    plcsim::Options options;
    options.link = link;
    plcsim::Simulator sim(options);
    sim.StartPty();
    HostChannel channel;
    ASSERT_EQ(channel.ColdStart(link, TIMEOUT_UNITS), SUCCESS);
    ASSERT_EQ(channel.Call(CMD_CLOSE_COM), SUCCESS);

    sim.Unplug();
    const ChannelBlock closed = channel.block;
    EXPECT_EQ(channel.Call(CMD_REOPEN_COM), RECOVERY_ERROR);
    EXPECT_EQ(std::memcmp(&channel.block, &closed, sizeof closed), 0);

    sim.Replug();
    EXPECT_EQ(channel.Call(CMD_REOPEN_COM), SUCCESS);
    HostIo read(1, 'W', 0, 1);
    EXPECT_EQ(channel.Call(CMD_SINGLE_READ, &read.io), SUCCESS);
    EXPECT_EQ(channel.Call(CMD_CLOSE_COM), SUCCESS);
    sim.Stop();
}

}  // namespace
