#include "host_api/host_log.h"

// Imported by name from the host's DORVAK.dll.
extern "C" __declspec(dllimport) int __cdecl err(int32_t level, const char* format, ...);

namespace kiv {

ErrFunction HostErr()
{
    return &err;
}

}  // namespace kiv
