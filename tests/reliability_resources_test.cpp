// Ten thousand opens and closes of each kind the host can ask for, on a
// pseudo-terminal and on the null device: none may leave a descriptor (or a
// slot of the port table, which has only 64) behind, and the device must be
// free again afterwards.
#include <gtest/gtest.h>

#include <functional>

#include "serial/serial_port.h"
#include "tests/case_name.h"
#include "tests/driver_fixture.h"
#include "tests/reliability_support.h"

namespace {

constexpr int CYCLES = 10000;
constexpr uint32_t TIMEOUT_UNITS = 5;

struct Ports {
    std::string first;   // the port the cycle works on
    std::string second;  // another one, for a change of port
};

struct CycleCase {
    const char* name;
    bool onPty;  // else the null device
    // Opens the channel before the cycles, if the cycle needs it open.
    bool startOpen;
    // One cycle; returns false when a command gave another result than it must.
    std::function<bool(HostChannel&, const Ports&)> cycle;
};

void PrintTo(const CycleCase& c, std::ostream* os)
{
    *os << c.name;
}

class OpenCloseCycles : public ::testing::TestWithParam<CycleCase> {
protected:
    void SetUp() override
    {
        kiv::ResetDriverEndedForTests();
        simA_.StartPty();
        simB_.StartPty();
    }
    void TearDown() override
    {
        (void)channel_.Call(CMD_CLOSE_COM);  // tear-down: what the test checks is done
        simA_.Stop();
        simB_.Stop();
    }

    plcsim::Simulator simA_, simB_;
    HostChannel channel_;
};

TEST_P(OpenCloseCycles, LeaveNoDescriptorBehind)
{
    const CycleCase& c = GetParam();
    const Ports ports = c.onPty ? Ports{simA_.SlavePath(), simB_.SlavePath()} : Ports{"NUL", "NUL"};
    reliability::CountingLog log;

    const std::set<int> before = reliability::OpenDescriptorSet();
    if (c.startOpen) {
        ASSERT_EQ(channel_.ColdStart(ports.first, TIMEOUT_UNITS), SUCCESS);
    }
    int wrong = 0;
    for (int i = 0; i < CYCLES; ++i) {
        if (!c.cycle(channel_, ports) && ++wrong < 5) {
            ADD_FAILURE() << "cycle " << i << " gave an unexpected result";
        }
    }
    EXPECT_EQ(wrong, 0);
    ASSERT_EQ(channel_.Call(CMD_CLOSE_COM), SUCCESS);
    EXPECT_EQ(channel_.block.portHandle, 0u);

    EXPECT_TRUE(reliability::OpenedSince(before).empty());
    if (c.onPty) {
        EXPECT_TRUE(PortIsFree(ports.first));
        EXPECT_TRUE(PortIsFree(ports.second));
    }
    // The port table has room again for a full set of ports.
    std::vector<kiv::PortHandle> handles;
    for (int i = 0; i < 64; ++i) {
        kiv::PortHandle handle = kiv::NO_PORT;
        ASSERT_EQ(kiv::PortOpen("NUL", Settings8N1(), LINE_FLAGS_DTR_RTS_ON, &handle), kiv::PORT_OK) << i;
        handles.push_back(handle);
    }
    for (kiv::PortHandle handle : handles)
        (void)kiv::PortClose(handle);  // judged by the descriptors left
    EXPECT_TRUE(reliability::OpenedSince(before).empty());
}

bool ColdStartThenClose(HostChannel& ch, const Ports& p)
{
    return ch.ColdStart(p.first, TIMEOUT_UNITS) == SUCCESS && ch.Call(CMD_CLOSE_COM) == SUCCESS;
}

bool CloseThenReOpen(HostChannel& ch, const Ports&)
{
    return ch.Call(CMD_CLOSE_COM) == SUCCESS && ch.Call(CMD_REOPEN_COM) == SUCCESS;
}

// A second open of a serial device fails and leaves the first; the null
// device admits it, and the old handle must be closed.
bool ReOpenWhileOpen(HostChannel& ch, const Ports& p)
{
    return ch.Call(CMD_REOPEN_COM) == (p.first == "NUL" ? SUCCESS : RECOVERY_ERROR) && ch.block.portHandle != 0;
}

bool ColdStartWhileOpen(HostChannel& ch, const Ports& p)
{
    return ch.ColdStart(p.first, TIMEOUT_UNITS) == SUCCESS;
}

bool ChangeBetweenPorts(HostChannel& ch, const Ports& p)
{
    const std::string next = std::string(ch.block.portName) == p.first ? p.second : p.first;
    return ch.ChangeParams(next, PortSettings{0, 0, 0, 0}) == SUCCESS;
}

bool ChangeToTheSameName(HostChannel& ch, const Ports& p)
{
    return ch.ChangeParams(p.first, PortSettings{0, 0, 0, 0}) == (p.first == "NUL" ? SUCCESS : RECOVERY_ERROR) &&
           ch.block.portHandle != 0;
}

bool ChangeWhileClosed(HostChannel& ch, const Ports& p)
{
    return ch.ChangeParams(p.first, Settings8N1()) == SUCCESS && ch.Call(CMD_CLOSE_COM) == SUCCESS;
}

// Opens that fail half way: the device exists but refuses the settings.
bool ColdStartRefusedSettings(HostChannel& ch, const Ports& p)
{
    return ch.ColdStart(p.first, TIMEOUT_UNITS, 1, PortSettings{0, 8, 0, 0}) == RECOVERY_ERROR &&
           ch.block.portHandle == 0;
}

bool ColdStartMissingDevice(HostChannel& ch, const Ports&)
{
    return ch.ColdStart("/tmp/kvnone", TIMEOUT_UNITS) == RECOVERY_ERROR && ch.block.portHandle == 0;
}

INSTANTIATE_TEST_SUITE_P(Cycles, OpenCloseCycles,
                         ::testing::Values(CycleCase{"ColdStartCloseComPty", true, false, ColdStartThenClose},
                                           CycleCase{"ColdStartCloseComNul", false, false, ColdStartThenClose},
                                           CycleCase{"CloseComReOpenComPty", true, true, CloseThenReOpen},
                                           CycleCase{"CloseComReOpenComNul", false, true, CloseThenReOpen},
                                           CycleCase{"ReOpenComWhileOpenPty", true, true, ReOpenWhileOpen},
                                           CycleCase{"ReOpenComWhileOpenNul", false, true, ReOpenWhileOpen},
                                           CycleCase{"ColdStartWhileOpenPty", true, true, ColdStartWhileOpen},
                                           CycleCase{"ColdStartWhileOpenNul", false, true, ColdStartWhileOpen},
                                           CycleCase{"ChangeKivParamsBetweenTwoPtys", true, true, ChangeBetweenPorts},
                                           CycleCase{"ChangeKivParamsSameNamePty", true, true, ChangeToTheSameName},
                                           CycleCase{"ChangeKivParamsSameNameNul", false, true, ChangeToTheSameName},
                                           CycleCase{"ChangeKivParamsWhileClosedPty", true, false, ChangeWhileClosed},
                                           CycleCase{"ChangeKivParamsWhileClosedNul", false, false, ChangeWhileClosed},
                                           CycleCase{"ColdStartRefusedSettingsPty", true, false,
                                                     ColdStartRefusedSettings},
                                           CycleCase{"ColdStartMissingDevice", false, false, ColdStartMissingDevice}),
                         CaseName());

}  // namespace
