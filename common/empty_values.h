// One rule for every option of the tools that takes a value: an empty value
// is refused. Taken as "not given" it would quietly mean the default (a
// pseudo-terminal for --device "", 9600 for --baud ""), which is never what
// was written.
#ifndef DAVODEV_COMMON_EMPTY_VALUES_H
#define DAVODEV_COMMON_EMPTY_VALUES_H

#include <CLI/CLI.hpp>

#include <string>

namespace kivhost {

// Every option of app and of its commands that takes a value, arguments
// included, as declared so far. CLI11 then refuses "" as it reads it,
// naming the option: "--baud: the value is empty; give N".
inline void RefuseEmptyValues(CLI::App& app)
{
    for (CLI::Option* option : app.get_options()) {
        if (option->get_type_size_max() == 0)
            continue;  // a flag
        const std::string what = option->get_type_name().empty() ? "a value" : option->get_type_name();
        option->check(CLI::Validator(
            [what](std::string& value) { return value.empty() ? "the value is empty; give " + what : std::string(); },
            "", "non-empty"));
    }
    for (CLI::App* command : app.get_subcommands([](CLI::App*) { return true; }))
        RefuseEmptyValues(*command);
}

}  // namespace kivhost

#endif  // DAVODEV_COMMON_EMPTY_VALUES_H
