// The exit status of the tools (kivhost, kivgate, plcsim), one set for all,
// so that a script reads each program's the same way. A second Ctrl-C's 130
// is stop_signals.h's.
#ifndef DAVODEV_KIVHOST_EXIT_STATUS_H
#define DAVODEV_KIVHOST_EXIT_STATUS_H

namespace kivhost {

enum ExitStatus : int {
    EXIT_DONE = 0,
    EXIT_REJECTED = 1,  // the driver refused the request (address, operand)
    EXIT_FAILED = 2,    // line, port or PLC failure, or no driver to load
    EXIT_USAGE = 64,    // the command line itself is wrong, or a file it names
};

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_EXIT_STATUS_H
