// The driver's own instructions per exchange, counted by callgrind: the
// benchmark runs itself again under valgrind as a child that collects only
// inside KivMain, and reads the child's dumps.
#ifndef DAVODEV_KIVBENCH_CALLGRIND_H
#define DAVODEV_KIVBENCH_CALLGRIND_H

#include <map>
#include <string>

namespace kivbench {

// The command-line switch that makes the benchmark the child, followed by
// the number of exchanges of each kind.
inline constexpr const char* CALLGRIND_CHILD_OPTION = "--callgrind-child";

struct Instructions {
    double total = 0;
    double inErr = 0;  // spent in the host's err, called from the driver
};

// The child's work, in the process valgrind runs: each kind of exchange, the
// KivMain calls collected, one dump per kind. 0 when all went well.
int CallgrindChild(int exchanges);

// Instructions per exchange by kind name; empty with a reason when callgrind
// cannot be run.
std::map<std::string, Instructions> RunCallgrind(int exchanges, std::string* reason);

}  // namespace kivbench

#endif  // DAVODEV_KIVBENCH_CALLGRIND_H
