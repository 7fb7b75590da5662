// A host's view of the driver for integration tests: records, KivMain calls,
// the driver's standard output and log lines captured, simulated stations on
// a pseudo-terminal.
#ifndef DAVODEV_TESTS_DRIVER_FIXTURE_H
#define DAVODEV_TESTS_DRIVER_FIXTURE_H

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "driver/commands.h"
#include "host_api/davodev.h"
#include "serial/serial_platform.h"
#include "serial/serial_port.h"
#include "sim/plc_simulator.h"
#include "tests/framed.h"
#include "tests/log_capture.h"
#include "tests/stdout_capture.h"

inline PortSettings Settings8N1(uint16_t baud = 9600)
{
    return PortSettings{baud, 8, 0, 0};
}

// True when nobody holds the device: it can be opened (and is closed again).
inline bool PortIsFree(const std::string& name)
{
    kiv::PortHandle handle = kiv::NO_PORT;
    if (kiv::PortOpen(name.c_str(), Settings8N1(), LINE_FLAGS_DTR_RTS_ON, &handle) != kiv::PORT_OK)
        return false;
    (void)kiv::PortClose(handle);  // the open answered the question
    return true;
}

// One channel as a host keeps it.
struct HostChannel {
    ChannelBlock block{};

    int32_t Call(uint32_t code, void* params = nullptr)
    {
        DriverRequest request{};
        request.channel = &block;
        request.code = code;
        request.params = params;
        return KivMain(&request);
    }

    int32_t ColdStart(const std::string& port, uint32_t timeout, uint32_t enable = 1,
                      PortSettings settings = Settings8N1())
    {
        ColdStartBlock start{};
        std::memcpy(start.portName, port.c_str(), std::min(port.size() + 1, sizeof start.portName));
        start.enable = enable;
        start.timeout = timeout;
        start.settings = settings;
        return Call(CMD_COLD_START, &start);
    }

    int32_t ChangeParams(const std::string& port, PortSettings settings)
    {
        ChangeParamsBlock change{};
        std::memcpy(change.portName, port.c_str(), std::min(port.size() + 1, sizeof change.portName));
        change.settings = settings;
        return Call(CMD_CHANGE_KIV_PARAMS, &change);
    }
};

// Bytes waiting in the input queue of the channel's port; -1 when the port
// cannot tell.
inline int64_t InputWaiting(const HostChannel& channel)
{
    uint32_t n = 0;
    if (!kiv::NativeSerialPlatform().clearError(channel.block.portHandle, &n))
        return -1;
    return n;
}

// The bytes waiting once at least `least` are there, or those there when the
// limit runs out. A test that leaves bytes for the driver to drain waits for
// them to be queued, not for a while: the simulator's write reaches the
// slave's input through the kernel, in its own time.
inline int64_t WaitForInput(const HostChannel& channel, int64_t least,
                            std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    const auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const int64_t n = InputWaiting(channel);
        if (n < 0 || n >= least || std::chrono::steady_clock::now() >= until)
            return n;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// An IoBlock and its values array, as a host would hand them in.
struct HostIo {
    IoBlock io{};
    std::vector<uint16_t> values;

    HostIo(int32_t station, char operand, int32_t number, int32_t count, int32_t bit = NO_BIT, uint16_t fill = 0xBEEF)
        : values(count + 16 > 18 ? count + 16 : 18, fill)
    {
        io.address = {station, operand, number, bit, operand == 'W' ? 16 : 1};
        io.count = count;
        io.values = values.data();
    }
};

#endif  // DAVODEV_TESTS_DRIVER_FIXTURE_H
