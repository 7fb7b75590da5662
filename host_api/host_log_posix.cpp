#include <dlfcn.h>

#include "host_api/host_log.h"

namespace kiv {

// Resolved from the host's library itself, never from the global scope: the C
// library has an err(3) of its own that prints and ends the process.
static ErrFunction ResolveHostErr()
{
    void* library = dlopen("libDORVAK.so", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr)
        return nullptr;
    return reinterpret_cast<ErrFunction>(dlsym(library, "err"));
}

ErrFunction HostErr()
{
    static const ErrFunction function = ResolveHostErr();
    return function;
}

}  // namespace kiv
