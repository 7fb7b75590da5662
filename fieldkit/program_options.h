// The program's own options, given before or after the command: the
// line's (--port, --baud, the character format, --timeout; line_options.cpp)
// and the rest (--json, --trace, --trace-file, --lib, --version;
// output_options.cpp).
#ifndef DAVODEV_FIELDKIT_PROGRAM_OPTIONS_H
#define DAVODEV_FIELDKIT_PROGRAM_OPTIONS_H

#include <string>

#include "fieldkit/option_checks.h"

namespace kivhost {

void DeclareLineOptions(CLI::App& app, Given& given);
// Into options.line, checked against what the driver takes; why not, or
// nothing. The monitor's port and rate are its own command's to take.
std::string TakeLine(const Given& given, const CLI::App& app, Options& options);

void DeclareOutputOptions(CLI::App& app, Given& given);
// Into options (--version stays in given); why not, or nothing.
std::string TakeOutput(const Given& given, const CLI::App& app, Options& options);

}  // namespace kivhost

#endif  // DAVODEV_FIELDKIT_PROGRAM_OPTIONS_H
