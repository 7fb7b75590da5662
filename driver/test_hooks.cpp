// Hooks for the test programs, which live many hosts' lives in one process.
// Linked into every program that links davodev_core, never into the library.
#include "driver/commands.h"

namespace kiv {

void ResetDriverEndedForTests()
{
    driverEnded.store(false, std::memory_order_relaxed);
}

}  // namespace kiv
