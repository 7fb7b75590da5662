// The options of kivhost's line diagnostics, which need no driver: decode
// reads a host's captured trace, monitor watches a live line through a
// listening port.
#ifndef DAVODEV_FIELDKIT_LINE_DIAG_OPTIONS_H
#define DAVODEV_FIELDKIT_LINE_DIAG_OPTIONS_H

#include <cstdint>
#include <string>

namespace kivhost {

struct DecodeOptions {
    std::string file;  // empty or "-": standard input
    bool json = false;
};

struct MonitorOptions {
    std::string port;  // a path, or a name under /dev
    uint32_t baud = 9600;
    uint16_t dataBits = 8;
    uint16_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint16_t stopBits = 0;  // 0 one, 1 one and a half, 2 two
    uint32_t gapMs = 50;
    uint32_t lateMs = 1000;
    std::string jsonl;  // files; empty: none
    std::string csv;
    bool shared = false;  // listen even on a port another program holds
};

}  // namespace kivhost

#endif  // DAVODEV_FIELDKIT_LINE_DIAG_OPTIONS_H
