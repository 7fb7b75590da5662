// Why a server's address (Modbus, the status page) cannot be listened on, in words that say
// what to do; and whether starting again could help. A port below 1024
// refused for want of a privilege is the set-up's fault: a service that
// restarts would only be refused again.
#ifndef KIVGATE_LISTEN_REFUSAL_H
#define KIVGATE_LISTEN_REFUSAL_H

#include <cstdint>
#include <string>

namespace kivgate {

// The first port an unprivileged program may bind.
constexpr uint16_t FIRST_UNPRIVILEGED_PORT = 1024;

struct ListenRefusal {
    std::string why;
    bool setUp = false;  // not mended by trying again: kivgate exits 64
};

// error: bind's or listen's errno; option: the one that chooses the address.
ListenRefusal ListenRefused(const std::string& host, uint16_t port, int error,
                            const std::string& option = "--modbus-listen");

}  // namespace kivgate

#endif  // KIVGATE_LISTEN_REFUSAL_H
