// The serial layer's time rules on their own: the monotonic deadline every
// wait of the Linux backend ends at, and the plan of a read under the
// Windows time-out rules that the backend and the fake platform share.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>

#include "serial/serial_deadline.h"
#include "serial/serial_read_plan.h"

namespace kiv {
namespace {

TEST(SerialDeadline, ExpiresOrdersAndRoundsUp)
{
    // Bounds are generous: this is a busy machine, not a stopwatch.
    constexpr int MINUTE = 60000;
    constexpr int HOUR = 60 * MINUTE;
    struct Case {
        const char* what;
        std::function<Deadline()> make;
        bool never;
        bool expired;
        int pollAtLeast;  // PollTimeoutMs() within [pollAtLeast, pollAtMost]
        int pollAtMost;
    };
    const Case cases[] = {
        {"never", [] { return Deadline::Never(); }, true, false, -1, -1},
        {"now", [] { return Deadline::AfterMs(0); }, false, true, 0, 0},
        {"a minute", [] { return Deadline::AfterMs(MINUTE); }, false, false, MINUTE - 10000, MINUTE},
        {"beyond what poll takes", [] { return Deadline::AfterMs(UINT64_MAX); }, false, false, INT32_MAX, INT32_MAX},
        {"earlier of an hour and a minute",
         [] { return Deadline::Earlier(Deadline::AfterMs(HOUR), Deadline::AfterMs(MINUTE)); }, false, false,
         MINUTE - 10000, MINUTE},
        {"earlier of a minute and never",
         [] { return Deadline::Earlier(Deadline::AfterMs(MINUTE), Deadline::Never()); }, false, false, MINUTE - 10000,
         MINUTE},
        {"earlier of never and a minute",
         [] { return Deadline::Earlier(Deadline::Never(), Deadline::AfterMs(MINUTE)); }, false, false, MINUTE - 10000,
         MINUTE},
        {"earlier of never and never", [] { return Deadline::Earlier(Deadline::Never(), Deadline::Never()); }, true,
         false, -1, -1},
        {"earlier of now and never", [] { return Deadline::Earlier(Deadline::AfterMs(0), Deadline::Never()); }, false,
         true, 0, 0},
    };
    for (const Case& c : cases) {
        const Deadline d = c.make();
        EXPECT_EQ(d.IsNever(), c.never) << c.what;
        EXPECT_EQ(d.Expired(), c.expired) << c.what;
        EXPECT_GE(d.PollTimeoutMs(), c.pollAtLeast) << c.what;
        EXPECT_LE(d.PollTimeoutMs(), c.pollAtMost) << c.what;
    }
    // Rounded up: a wait that ended before the deadline would spin to it.
    const Deadline soon = Deadline::AfterMs(1);
    const int wait = soon.PollTimeoutMs();
    EXPECT_TRUE(wait >= 1 || soon.Expired());
}

TEST(SerialReadPlan, FollowsTheWindowsTimeoutRules)
{
    constexpr uint32_t MAX = 0xFFFFFFFFu;
    struct Case {
        const char* what;
        PortTimeouts timeouts;  // interval, multiplier, constant (the write fields play no part)
        uint32_t n;
        bool limited;
        uint64_t totalMs;
        uint32_t intervalMs;
        bool endsOnFirstByte;
    };
    const Case cases[] = {
        {"the layer's: a constant only", {0, 0, 1000, 0, 0}, 7, true, 1000, 0, false},
        {"nothing set: waits for every byte", {0, 0, 0, 0, 0}, 7, false, 0, 0, false},
        {"multiplier per byte asked", {0, 10, 100, 0, 0}, 7, true, 170, 0, false},
        {"an interval with no total", {20, 0, 0, 0, 0}, 7, false, 0, 20, false},
        {"an interval and a total", {20, 0, 500, 0, 0}, 7, true, 500, 20, false},
        {"interval MAXDWORD alone: at once", {MAX, 0, 0, 0, 0}, 7, true, 0, 0, false},
        {"first byte, or the constant", {MAX, MAX, 300, 0, 0}, 7, true, 300, 0, true},
        {"first byte needs a constant", {MAX, MAX, 0, 0, 0}, 2, true, 2ull * MAX, 0, false},
        {"first byte needs a constant below MAXDWORD", {MAX, MAX, MAX, 0, 0}, 1, true, 2ull * MAX, 0, false},
        {"interval MAXDWORD with a total is no interval", {MAX, 0, 40, 0, 0}, 7, true, 40, 0, false},
        {"the largest total does not wrap", {0, MAX, MAX, 0, 0}, MAX, true, (uint64_t{MAX} + 1) * MAX, 0, false},
    };
    for (const Case& c : cases) {
        const ReadPlan plan = PlanRead(c.timeouts, c.n);
        EXPECT_EQ(plan.limited, c.limited) << c.what;
        if (c.limited) {
            EXPECT_EQ(plan.totalMs, c.totalMs) << c.what;
        }
        EXPECT_EQ(plan.intervalMs, c.intervalMs) << c.what;
        EXPECT_EQ(plan.endsOnFirstByte, c.endsOnFirstByte) << c.what;
    }
}

}  // namespace
}  // namespace kiv
