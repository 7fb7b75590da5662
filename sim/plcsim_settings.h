// plcsim's command line checked and applied: every value read by the
// shared number rules, refused in one line naming the argument.
#ifndef DAVODEV_PLCSIM_SETTINGS_H
#define DAVODEV_PLCSIM_SETTINGS_H

#include <string>

#include "sim/plc_simulator.h"
#include "sim/plcsim_command_line.h"

namespace plcsim {

struct Settings {
    Options options;
    std::string device;  // empty: a pseudo-terminal
    bool verbose = false;
};

// What the simulator is made with; exits through Fail on a refusal.
Settings Check(const Arguments& args);

// Memory and faults, once the simulator exists; exits through Fail on a
// refusal, before anything is served.
void Configure(Simulator& sim, const Arguments& args);

}  // namespace plcsim

#endif  // DAVODEV_PLCSIM_SETTINGS_H
