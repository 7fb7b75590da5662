// kivhost's subcommands that talk to the driver, each a host's run from
// GetKivInfo to EndKiv; each returns the exit status, having said what went
// wrong on standard error.
#ifndef DAVODEV_KIVHOST_COMMANDS_H
#define DAVODEV_KIVHOST_COMMANDS_H

#include "fieldkit/command_steps.h"
#include "fieldkit/line_diag_options.h"

namespace kivhost {

int RunVersion(Context& context);  // the driver's half: kivhost's own line comes first
int RunInfo(Context& context);
int RunParse(Context& context);
int RunRead(Context& context);
int RunWrite(Context& context);
int RunPoll(Context& context);
int RunScan(Context& context);      // a tag list read cycle after cycle in planned blocks
int RunStations(Context& context);  // a survey of who answers on a line
int RunDemo(Context& context);      // simulated stations on a pseudo-terminal, or on --sim-port

// The line diagnostics, which need no driver.
int RunDecode(const DecodeOptions& options);
int RunMonitor(const MonitorOptions& options);

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_COMMANDS_H
