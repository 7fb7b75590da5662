// A dump file of callgrind, read for what the benchmark needs of it.
#ifndef DAVODEV_KIVBENCH_CALLGRIND_DUMP_H
#define DAVODEV_KIVBENCH_CALLGRIND_DUMP_H

#include <string>

namespace kivbench {

struct CallgrindDump {
    std::string name;  // the trigger: the kind of exchange
    double total = -1;
    double inErr = 0;  // spent in the host's err, called from the driver
};

// One dump file: its trigger, its total, and the inclusive cost of the calls
// to err.
CallgrindDump ReadCallgrindDump(const std::string& path);

}  // namespace kivbench

#endif  // DAVODEV_KIVBENCH_CALLGRIND_DUMP_H
