#include "driver_host.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "dorvak.h"

namespace kivbench {

namespace {

KivMainFn kivMain = nullptr;

std::string ProgramDirectory()
{
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return ".";
    path[n] = '\0';
    std::string text(path);
    const size_t slash = text.rfind('/');
    return slash == std::string::npos ? "." : text.substr(0, slash);
}

}  // namespace

bool LoadDriver(std::string* error)
{
    const std::string path = ProgramDirectory() + "/libDAVODEV.so";
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        *error = dlerror();
        return false;
    }
    kivMain = reinterpret_cast<KivMainFn>(dlsym(library, "KivMain"));
    if (kivMain == nullptr) {
        *error = "no KivMain in " + path;
        return false;
    }
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
