// The three exchanges every measurement uses, and a driver channel set up
// for one of them.
#ifndef DAVODEV_KIVBENCH_EXCHANGE_KINDS_H
#define DAVODEV_KIVBENCH_EXCHANGE_KINDS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bench/driver_host.h"

namespace kivbench {

struct ExchangeKind {
    const char* name;
    uint32_t code;
    int32_t count;
    std::string request;  // as the driver frames it
    std::string reply;    // as a station answers it
    size_t header;        // the driver's first reception
    size_t rest;          // and its second
};

// BlockRead of 2 and of 255 words, SingleWrite of one word.
std::vector<ExchangeKind> Kinds();

// A driver channel set up for one kind of exchange.
struct DriverSide {
    HostChannel channel;
    HostIo io;
    DriverRequest request{};

    explicit DriverSide(const ExchangeKind& kind, int32_t number = 0x10);
    bool Exchange() { return CallDriver(&request) == SUCCESS; }
};

// Throws std::runtime_error(what) unless condition holds: the run stops.
void Require(bool condition, const std::string& what);

// The driver's frame must be the floor's byte for byte, or the floor is not
// the floor of this exchange.
void CheckSameFrame(const DriverSide& side, const ExchangeKind& kind);

}  // namespace kivbench

#endif  // DAVODEV_KIVBENCH_EXCHANGE_KINDS_H
