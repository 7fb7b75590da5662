#include "bench/driver_host.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "hosting/dorvak.h"
#include "hosting/driver_library.h"

namespace kivbench {

namespace {

KivMainFn kivMain = nullptr;

}  // namespace

bool LoadDriver(std::string* error)
{
    // Loaded as kivhost loads it, from beside the program, and never
    // unloaded: threads of the sections may call it until the process ends.
    std::unique_ptr<kivhost::DriverLibrary> library =
        kivhost::DriverLibrary::Load(kivhost::DefaultLibraryPath(), error);
    if (!library)
        return false;
    kivMain = library.release()->Entry();
    // A host with logging switched off: err is still called, and returns at once.
    DorvakSetLogging(0);
    return true;
}

int32_t CallDriver(DriverRequest* request)
{
    return kivMain(request);
}

int32_t HostChannel::Call(uint32_t code, void* params)
{
    DriverRequest request{};
    request.channel = &block;
    request.code = code;
    request.params = params;
    return kivMain(&request);
}

int32_t HostChannel::ColdStart(const std::string& port, uint32_t timeoutUnits, uint16_t baud)
{
    ColdStartBlock start{};
    std::memcpy(start.portName, port.c_str(), std::min(port.size() + 1, sizeof start.portName));
    start.enable = 1;
    start.timeout = timeoutUnits;
    start.settings = PortSettings{baud, 8, 0, 0};
    return Call(CMD_COLD_START, &start);
}

HostIo::HostIo(int32_t number, int32_t count) : values(static_cast<size_t>(count) + 2, 0)
{
    io.address = DriverAddress{1, 'W', number, NO_BIT, 16};
    io.count = count;
    io.values = values.data();
}

}  // namespace kivbench
