// Heap allocations made by one thread while it asks for them to be counted.
// malloc and its relatives are replaced for the whole benchmark process
// (glibc lets a program do so) and hand on to the C library's own.
#ifndef DAVODEV_KIVBENCH_ALLOC_COUNTER_H
#define DAVODEV_KIVBENCH_ALLOC_COUNTER_H

#include <cstdint>

namespace kivbench {

// Counting is per thread: the responders and the simulator allocate as they
// like without being charged to the driver.
void CountAllocations(bool on);
uint64_t AllocationCount();  // allocations counted so far, all threads

// RAII: counts while it lives.
class AllocationScope {
public:
    AllocationScope() { CountAllocations(true); }
    ~AllocationScope() { CountAllocations(false); }
    AllocationScope(const AllocationScope&) = delete;
    AllocationScope& operator=(const AllocationScope&) = delete;
};

}  // namespace kivbench

#endif  // DAVODEV_KIVBENCH_ALLOC_COUNTER_H
