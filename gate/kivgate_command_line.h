// kivgate's command line: a tag file, the line's options as kivhost takes
// them (the same code reads them), and the gateway's own, all checked
// before the driver is loaded or a port or socket is opened.
#ifndef KIVGATE_COMMAND_LINE_H
#define KIVGATE_COMMAND_LINE_H

#include <optional>
#include <string>
#include <vector>

#include "fieldkit/tool_options.h"
#include "gate/gate_options.h"

namespace kivgate {

struct GateRun {
    enum class What { Help, Version, Plan, Serve };
    What what = What::Serve;
    std::string helpText;
    kivhost::Options options;  // line, library, scan (tag file, max gap, retry-down), interval
    GateOptions gate;
};

struct GateCommandLine {
    std::optional<GateRun> run;
    std::string error;  // a usage error, in one line
};

// getEnv: the environment, for KIVGATE_MQTT_PASSWORD (a test's own).
GateCommandLine ParseGateCommandLine(const std::vector<std::string>& args,
                                     const char* (*getEnv)(const char*) = nullptr);

}  // namespace kivgate

#endif  // KIVGATE_COMMAND_LINE_H
