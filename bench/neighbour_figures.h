// Section 10's figures of the line itself: a healthy station beside a
// faulty one on a paced line, and what a failed attempt costs now that the
// driver lets the line go quiet before it asks again.
#ifndef DAVODEV_KIVBENCH_NEIGHBOUR_FIGURES_H
#define DAVODEV_KIVBENCH_NEIGHBOUR_FIGURES_H

#include "bench/section.h"

namespace kivbench {

void RunNeighbourFigures(const BenchRun& run);

}  // namespace kivbench

#endif  // DAVODEV_KIVBENCH_NEIGHBOUR_FIGURES_H
