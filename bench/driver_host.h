// The benchmark as a host: the driver loaded from libDAVODEV.so as a host
// loads it, channels kept in host-owned blocks, the host's log a no-op.
#ifndef DAVODEV_KIVBENCH_DRIVER_HOST_H
#define DAVODEV_KIVBENCH_DRIVER_HOST_H

#include <cstdint>
#include <string>
#include <vector>

#include "host_api/davodev.h"

namespace kivbench {

// Loads libDAVODEV.so from beside this program; false with a message in
// *error when it cannot. Also installs a sink that drops every log line.
bool LoadDriver(std::string* error);
int32_t CallDriver(DriverRequest* request);

// One channel as a host keeps it.
struct HostChannel {
    ChannelBlock block{};

    int32_t Call(uint32_t code, void* params = nullptr);
    int32_t ColdStart(const std::string& port, uint32_t timeoutUnits, uint16_t baud = 9600);
    int32_t CloseCom() { return Call(CMD_CLOSE_COM); }
};

// An IoBlock with its values array: word operand W at station 1.
struct HostIo {
    IoBlock io{};
    std::vector<uint16_t> values;

    HostIo(int32_t number, int32_t count);
};

}  // namespace kivbench

#endif  // DAVODEV_KIVBENCH_DRIVER_HOST_H
