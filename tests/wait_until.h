// Waits for a condition rather than for a time: the condition is asked
// again every few milliseconds until it holds or the limit, generous for a
// busy machine, has passed. Whether it held at the end is the result.
#ifndef DAVODEV_TESTS_WAIT_UNTIL_H
#define DAVODEV_TESTS_WAIT_UNTIL_H

#include <chrono>
#include <thread>

template <typename Condition>
bool WaitUntil(Condition&& holds, std::chrono::milliseconds limit = std::chrono::seconds(10),
               std::chrono::milliseconds every = std::chrono::milliseconds(5))
{
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!holds()) {
        if (std::chrono::steady_clock::now() >= until)
            return holds();
        std::this_thread::sleep_for(every);
    }
    return true;
}

#endif  // DAVODEV_TESTS_WAIT_UNTIL_H
