// The options of kivhost's line diagnostics, which need no driver: decode
// reads a host's captured trace, monitor watches a live line through a
// listening port.
#ifndef DAVODEV_FIELDKIT_LINE_DIAG_OPTIONS_H
#define DAVODEV_FIELDKIT_LINE_DIAG_OPTIONS_H

#include <cstdint>
#include <string>

#include "analysis/serial_tap.h"

namespace kivhost {

struct DecodeOptions {
    std::string file;  // empty or "-": standard input
    bool json = false;
};

struct MonitorOptions {
    TapSettings line;  // the port to listen on, its rate and character format
    uint32_t gapMs = 50;
    uint32_t lateMs = 1000;
    std::string jsonl;  // files; empty: none
    std::string csv;
    bool shared = false;  // listen even on a port another program holds
};

}  // namespace kivhost

#endif  // DAVODEV_FIELDKIT_LINE_DIAG_OPTIONS_H
