// The benchmark's sections: each measures one thing and prints its tables.
// A section is a file of its own ending in a SectionRegistration, and its
// line in the source list of bench/CMakeLists.txt. Its number orders the
// report and names it for --only.
#ifndef DAVODEV_KIVBENCH_SECTION_H
#define DAVODEV_KIVBENCH_SECTION_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kivbench {

// Heap allocations counted inside KivMain over some exchanges.
struct HeapCount {
    std::string what;
    uint64_t calls = 0;
    uint64_t allocations = 0;
};

// One HeapCount over a section's results, each with the exchanges it made
// and the allocations counted during them.
template <typename Result>
HeapCount HeapTally(std::string what, const std::vector<Result>& results)
{
    HeapCount heap{std::move(what)};
    for (const Result& r : results) {
        heap.calls += static_cast<uint64_t>(r.exchanges);
        heap.allocations += r.allocations;
    }
    return heap;
}

// What the sections of one run share.
struct BenchRun {
    bool quick = false;     // a smoke run of a few hundred exchanges, not a measurement
    bool callgrind = true;  // count the driver's instructions under valgrind
    // Counted by the sections that make exchanges, in their order; the heap
    // section reports them.
    std::vector<HeapCount> heap;
};

struct Section {
    int number;
    // How the usage text names the section for --only; nullptr for a section
    // that reports on what the others measured and so runs whenever they do.
    const char* only;
    void (*run)(BenchRun& run);
};

// One static object in each section's file puts the section in the report.
struct SectionRegistration {
    explicit SectionRegistration(const Section& section);
};

// Every section, by number.
const std::vector<Section>& Sections();

// One side of a section's comparison by itself, for counting its system
// calls under strace (kivbench --count-calls NAME N): it sets up and warms up
// as its section does, then makes `exchanges` exchanges and reports nothing.
struct Side {
    const char* name;
    void (*run)(int exchanges);
};

struct SideRegistration {
    explicit SideRegistration(const Side& side);
};

// Every side, by name.
const std::vector<Side>& Sides();

}  // namespace kivbench

#endif  // DAVODEV_KIVBENCH_SECTION_H
