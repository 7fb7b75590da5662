#include "gate/listen_refusal.h"

#include <cerrno>
#include <cstring>

namespace kivgate {

ListenRefusal ListenRefused(const std::string& host, uint16_t port, int error, const std::string& option)
{
    const std::string where = "cannot listen on " + host + ":" + std::to_string(port) + ": " + std::strerror(error);
    if ((error == EACCES || error == EPERM) && port != 0 && port < FIRST_UNPRIVILEGED_PORT)
        return {where + ": ports below " + std::to_string(FIRST_UNPRIVILEGED_PORT) +
                    " need the CAP_NET_BIND_SERVICE capability (the units have a commented "
                    "AmbientCapabilities=CAP_NET_BIND_SERVICE line to enable), or choose a port from " +
                    std::to_string(FIRST_UNPRIVILEGED_PORT) + " with " + option,
                true};
    return {where + " (another program on that port? choose one with " + option + ")", false};
}

}  // namespace kivgate
