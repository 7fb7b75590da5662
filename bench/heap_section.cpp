// Section 5: heap allocations inside KivMain, as counted by the sections
// that made exchanges before it.
#include <string>

#include "bench/report.h"
#include "bench/section.h"

namespace kivbench {

namespace {

void RunHeapSection(BenchRun& run)
{
    if (run.heap.empty())
        return;
    PrintHeading("5. Heap allocations during KivMain, after warm-up");
    Table table({"exchanges", "KivMain calls", "allocations", "per call", "target", "result"});
    for (const HeapCount& count : run.heap)
        table.Row({count.what, Grouped(static_cast<double>(count.calls)), std::to_string(count.allocations),
                   count.calls ? Format("%.3f", count.allocations / static_cast<double>(count.calls)) : "—", "0",
                   Verdict(count.allocations == 0, "allocations, " + count.what)});
    table.Print();
}

const SectionRegistration HEAP_SECTION({5, nullptr, RunHeapSection});

}  // namespace

}  // namespace kivbench
