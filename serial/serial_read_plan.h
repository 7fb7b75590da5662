// What one read does under a port's time-outs, by the rules of the Windows
// serial services. Windows applies them itself; the Linux backend has to
// reproduce them, and the fake platform of the tests follows them against
// its virtual clock: both take them from here.
#ifndef DAVODEV_SERIAL_READ_PLAN_H
#define DAVODEV_SERIAL_READ_PLAN_H

#include <cstdint>

#include "serial/serial_platform.h"

namespace kiv {

// A read of n bytes returns when all n are in, or with what came when its
// total time-out or the silence allowed between two bytes runs out.
struct ReadPlan {
    bool limited;          // false: no total time-out, the read waits for all n bytes
    uint64_t totalMs;      // when limited: from the start of the read, 0 for "at once"
    uint32_t intervalMs;   // 0: none; else the longest silence after a byte has come
    bool endsOnFirstByte;  // returns as soon as a byte is in, with all that is there
};

ReadPlan PlanRead(const PortTimeouts& timeouts, uint32_t n);

}  // namespace kiv

#endif  // DAVODEV_SERIAL_READ_PLAN_H
