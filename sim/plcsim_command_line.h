// plcsim's command line as given, read by its option table; the help.
#ifndef DAVODEV_PLCSIM_COMMAND_LINE_H
#define DAVODEV_PLCSIM_COMMAND_LINE_H

#include <string>
#include <vector>

#include "common/exit_status.h"

namespace plcsim {

// The tools' exit codes (common/exit_status.h).
inline constexpr int EXIT_LINE = kivhost::EXIT_FAILED;  // the line could not be served
using kivhost::EXIT_USAGE;                              // the command line is wrong
// plcsim's own: standard output, where the line's path is told, failed.
inline constexpr int EXIT_OUTPUT = 74;

// Says what is wrong with the command line, in one line, and exits.
[[noreturn]] void Fail(const std::string& message);
// The same for a line that says itself what to do instead: no pointer to
// the help.
[[noreturn]] void Refuse(const std::string& message);

// The command line as given; checked and turned into settings afterwards,
// so every value is read by the same rules and refused with the same words.
struct Arguments {
    bool pty = false;
    std::string device;
    std::string link;
    std::string mirror;
    std::string baud;
    std::string format;
    std::string dataBits;
    std::string parity;
    std::string stopBits;
    bool pace = false;
    std::string stations = "1";
    std::vector<std::string> sets;
    std::vector<std::string> faults;
    std::vector<std::string> scripts;
    std::string seed;
    bool verbose = false;
};

// Exits after --help or --version, and on what is not an option.
Arguments ParseCommandLine(int argc, char** argv);

}  // namespace plcsim

#endif  // DAVODEV_PLCSIM_COMMAND_LINE_H
