// The channel lifecycle through KivMain, over the fake platform, whose calls
// fail where the input says: any sequence of ColdStart, WarmStart,
// CloseCom, ReOpenCom, ChangeKivParams and EndKiv, with good, missing,
// shareable and over-long port names. Checked after every command:
//   - the result is 0, 1 or 2; a refusal changes nothing, and neither do
//     WarmStart, a failed ReOpenCom, or a failed CloseCom or EndKiv;
//   - the stored handle is a port that is open, and an open port implies an
//     enabled channel;
//   - no port is left open unless the driver holds it, or its close failed
//     (the serial layer lets go of a port whose close fails);
//   - a successful open has the channel's time-out on the port;
//   - nothing outside the channel's port fields changes: guards, the unused
//     bytes, the transmit and receive areas.
#include <cstdint>
#include <cstring>
#include <set>

#include "driver/commands.h"
#include "fuzz/fuzz_support.h"
#include "host_api/davodev.h"
#include "tests/fake_serial_platform.h"

namespace {

using kiv::PortHandle;
using kiv::fake::FakeDevice;
using kiv::fake::FakeOp;
using kiv::fake::FakeSerialPlatform;

// Failures the input injects into one command's platform calls.
enum Fail : uint8_t {
    FAIL_OPEN = 1,
    FAIL_GET_STATE = 2,
    FAIL_SET_TIMEOUTS = 4,
    FAIL_SET_STATE = 8,
    FAIL_CLOSE = 16,
    FAIL_GET_TIMEOUTS = 32,
};

uint8_t failing = 0;  // the Fail bits of the command under way

void InjectFailures(FakeDevice& device, FakeOp op, const uint8_t*, uint32_t)
{
    const uint8_t bit = op == FakeOp::Open          ? FAIL_OPEN
                        : op == FakeOp::GetState    ? FAIL_GET_STATE
                        : op == FakeOp::SetTimeouts ? FAIL_SET_TIMEOUTS
                        : op == FakeOp::SetState    ? FAIL_SET_STATE
                        : op == FakeOp::Close       ? FAIL_CLOSE
                        : op == FakeOp::GetTimeouts ? FAIL_GET_TIMEOUTS
                                                    : 0;
    if (failing & bit)
        device.Fail(op, 1);
}

bool Serial(const FakeDevice* device)
{
    return device != nullptr && device->commDevice;
}

// The handles whose close the platform refused: the serial layer lets go of
// them, so they stay open on the platform.
std::set<PortHandle> RefusedCloses(const FakeSerialPlatform& fake)
{
    std::set<PortHandle> refused;
    for (const kiv::fake::FakeCall& call : fake.Calls())
        if (call.op == FakeOp::Close && !call.ok)
            refused.insert(call.handle);
    return refused;
}

// Names by the input's choice: two serial devices, the null device, one
// that does not exist, one of exactly 11 characters, and too long for the
// channel (12 characters: no room for the NUL in ColdStartBlock).
void PickName(uint8_t choice, char* out, size_t size)
{
    static const char* const names[] = {"PA", "PB", "NUL", "MISSING", "ELEVENCHARS"};
    std::memset(out, 0, size);
    if (choice % 6 == 5) {
        std::memset(out, 'L', size < 16 ? size : 12);  // no NUL within 12 bytes
        return;
    }
    std::strncpy(out, names[choice % 6], size - 1);
}

constexpr uint8_t AREA_FILL = 0x6B;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::QuietDriverOutput();
    return 0;
}

// Input: commands of 4 bytes each: the command (low 3 bits: ColdStart,
// WarmStart, CloseCom, ReOpenCom, ChangeKivParams, EndKiv, ColdStart with
// enable 0, ChangeKivParams keeping the settings), the port name choice,
// the failures to inject (see Fail), and the time-out.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Two serial devices, exclusive, and the null device, shared.
    FakeSerialPlatform fake;
    for (const char* name : {"PA", "PB", "NUL"}) {
        FakeDevice& device = fake.AddDevice(name);
        device.onCall = InjectFailures;
        const bool nul = std::strcmp(name, "NUL") == 0;
        device.commDevice = !nul;
        device.shareable = nul;
    }
    kiv::ResetDriverEndedForTests();
    fuzz::Input in(data, size);

    fuzz::Guarded<ChannelBlock> channel;
    std::memset(channel.value.unused, 0x3D, sizeof channel.value.unused);
    std::memset(channel.value.txArea, AREA_FILL, sizeof channel.value.txArea);
    std::memset(channel.value.rxArea, AREA_FILL, sizeof channel.value.rxArea);
    const ChannelBlock initial = channel.value;

    for (int step = 0; step < 64 && !in.AtEnd(); ++step) {
        const uint8_t command = in.Byte() & 7;
        const uint8_t nameChoice = in.Byte();
        const uint8_t fail = in.Byte() & 63;
        const uint32_t timeout = in.Byte();

        ColdStartBlock start{};
        ChangeParamsBlock change{};
        DriverRequest request{};
        request.channel = &channel.value;
        switch (command) {
        case 0:
        case 6:
            PickName(nameChoice, start.portName, sizeof start.portName);
            start.enable = command == 6 ? 0 : 1u + (nameChoice >> 4);
            start.timeout = timeout;
            start.settings = PortSettings{9600, 8, 0, 0};
            request.code = CMD_COLD_START;
            request.params = &start;
            break;
        case 1: request.code = CMD_WARM_START; break;
        case 2: request.code = CMD_CLOSE_COM; break;
        case 3: request.code = CMD_REOPEN_COM; break;
        case 4:
        case 7:
            PickName(nameChoice, change.portName, sizeof change.portName);
            change.settings = PortSettings{static_cast<uint16_t>(command == 7 ? 0 : 19200), 7, 0, 2};
            request.code = CMD_CHANGE_KIV_PARAMS;
            request.params = &change;
            break;
        default: request.code = CMD_END_KIV; break;
        }

        const ChannelBlock before = channel.value;
        const size_t openBefore = fake.OpenHandles().size();
        failing = fail;
        const int32_t result = KivMain(&request);
        failing = 0;
        const ChannelBlock& after = channel.value;

        FUZZ_CHECK(result == SUCCESS || result == REJECTED || result == RECOVERY_ERROR);
        FUZZ_CHECK(channel.GuardsIntact());
        FUZZ_CHECK(std::memcmp(after.unused, initial.unused, sizeof initial.unused) == 0);
        FUZZ_CHECK(std::memcmp(after.txArea, initial.txArea, sizeof initial.txArea) == 0);
        FUZZ_CHECK(std::memcmp(after.rxArea, initial.rxArea, sizeof initial.rxArea) == 0);

        // What leaves the channel as it was: a refusal, WarmStart, a failed
        // ReOpenCom, a failed close.
        const bool unchanged = std::memcmp(&after, &before, sizeof before) == 0;
        if (result == REJECTED)
            FUZZ_CHECK(unchanged && fake.OpenHandles().size() == openBefore);
        if (request.code == CMD_WARM_START)
            FUZZ_CHECK(result == SUCCESS && unchanged);
        if (request.code == CMD_REOPEN_COM && result != SUCCESS)
            FUZZ_CHECK(unchanged);
        if (request.code == CMD_CLOSE_COM || request.code == CMD_END_KIV) {
            if (before.portHandle == 0)
                FUZZ_CHECK(result == SUCCESS && unchanged);
            else if (result == SUCCESS)
                FUZZ_CHECK(after.portHandle == 0 && after.portEnabled == 0);
            else
                FUZZ_CHECK(unchanged);
        }
        if (request.code == CMD_END_KIV) {
            FUZZ_CHECK(kiv::DriverEnded());
            // Ended: every call does nothing and returns 0.
            DriverRequest again = request;
            again.code = CMD_REOPEN_COM;
            const ChannelBlock ended = channel.value;
            FUZZ_CHECK(KivMain(&again) == SUCCESS);
            FUZZ_CHECK(std::memcmp(&channel.value, &ended, sizeof ended) == 0);
            kiv::ResetDriverEndedForTests();
        }

        // The handle names an open port, and an open port an enabled channel.
        if (after.portHandle != 0) {
            FUZZ_CHECK(fake.DeviceOf(after.portHandle) != nullptr);
            FUZZ_CHECK(after.portEnabled != 0);
        }
        // Nothing open that the driver does not hold, bar refused closes.
        const std::set<PortHandle> refused = RefusedCloses(fake);
        for (PortHandle handle : fake.OpenHandles())
            FUZZ_CHECK(handle == after.portHandle || refused.count(handle) == 1);

        // An open that succeeded carries the channel's time-out.
        const bool opened = result == SUCCESS &&
                            (request.code == CMD_COLD_START || request.code == CMD_CHANGE_KIV_PARAMS) &&
                            after.portHandle != 0;
        if (opened) {
            const FakeDevice* device = fake.DeviceOf(after.portHandle);
            FUZZ_CHECK(device != nullptr);
            if (Serial(device) && !(fail & (FAIL_GET_TIMEOUTS | FAIL_SET_TIMEOUTS)))
                FUZZ_CHECK(device->timeouts.readTotalConstant == after.readTimeout * 10u);
        }
    }

    // Whatever the sequence, CloseCom leaves nothing open it could close.
    DriverRequest close{};
    close.channel = &channel.value;
    close.code = CMD_CLOSE_COM;
    FUZZ_CHECK(KivMain(&close) == SUCCESS);
    const std::set<PortHandle> refused = RefusedCloses(fake);
    for (PortHandle handle : fake.OpenHandles())
        FUZZ_CHECK(refused.count(handle) == 1);
    FUZZ_CHECK(channel.GuardsIntact());
    return 0;
}
