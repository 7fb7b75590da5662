// kivhost's subcommands, one entry each: its name, help, arguments and
// options, and how they are checked. A new subcommand is an entry here and
// its Run function in the table of kivhost_main.cpp.
#ifndef DAVODEV_KIVHOST_COMMAND_TABLE_H
#define DAVODEV_KIVHOST_COMMAND_TABLE_H

#include <functional>
#include <string>
#include <vector>

#include "fieldkit/option_checks.h"
#include "fieldkit/tool_options.h"

namespace kivhost {

struct CommandEntry {
    Command command;
    const char* name;
    const char* summary;  // its line in kivhost --help, and the first of its own help
    const char* usage;    // what follows "kivhost [options] "
    const char* footer;   // more about it, and examples
    bool usesLine;
    std::function<void(CLI::App&, Given&)> declare;  // its arguments and options
    // Its arguments and options into the options, or why not.
    std::function<std::string(const Given&, const CLI::App&, Options&)> take;
};

// In the order kivhost --help lists them.
const std::vector<CommandEntry>& Commands();
// nullptr: no such command.
const CommandEntry* FindCommand(const std::string& name);
// "info, parse, ... and monitor".
std::string CommandNames();

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_COMMAND_TABLE_H
