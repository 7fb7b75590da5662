// kivhost's command line: subcommands, line options, addresses and values,
// all checked before the driver is loaded or the port is opened; what only
// the driver's parser can tell is checked right after it has spoken, still
// before the port is opened.
//
// A new subcommand is a Command value (fieldkit/tool_options.h), one entry in
// command_table.cpp (its name, help, arguments and options, and how they are
// checked), and its Run function in the table of kivhost_main.cpp; the man
// page and the bash completion name it too (a test holds them to the
// program's help).
#ifndef DAVODEV_KIVHOST_OPTIONS_H
#define DAVODEV_KIVHOST_OPTIONS_H

#include <optional>
#include <string>
#include <vector>

#include "fieldkit/tool_options.h"

namespace kivhost {

// Either options or the one-line message of a usage error.
struct CommandLine {
    std::optional<Options> options;
    std::string error;
};

CommandLine ParseCommandLine(const std::vector<std::string>& args);

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_OPTIONS_H
