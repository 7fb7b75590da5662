#include "serial/serial_read_plan.h"

namespace kiv {

namespace {

constexpr uint32_t MAXDWORD = 0xFFFFFFFFu;

}  // namespace

ReadPlan PlanRead(const PortTimeouts& timeouts, uint32_t n)
{
    const PortTimeouts& to = timeouts;
    ReadPlan plan{};
    // A byte that comes after a longer silence than this ends the read;
    // MAXDWORD alone means no such limit.
    plan.intervalMs = to.readInterval != MAXDWORD ? to.readInterval : 0;
    if (to.readInterval == MAXDWORD && to.readTotalMultiplier == 0 && to.readTotalConstant == 0) {
        // Return at once with what is there.
        plan.limited = true;
        plan.totalMs = 0;
    } else if (to.readInterval == MAXDWORD && to.readTotalMultiplier == MAXDWORD && to.readTotalConstant != 0 &&
               to.readTotalConstant != MAXDWORD) {
        // Return as soon as any byte is there, or after the constant.
        plan.limited = true;
        plan.totalMs = to.readTotalConstant;
        plan.endsOnFirstByte = true;
    } else {
        // Multiplier x n + constant; none if both are 0.
        plan.totalMs = static_cast<uint64_t>(to.readTotalMultiplier) * n + to.readTotalConstant;
        plan.limited = plan.totalMs != 0;
    }
    return plan;
}

}  // namespace kiv
