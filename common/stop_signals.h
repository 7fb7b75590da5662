// Ctrl-C for the commands that run until stopped (poll, scan, stations,
// monitor). The first Ctrl-C (or SIGTERM, or SIGHUP) asks the loop to stop; the
// commands that talk to the driver say at once how long the exchange under
// way can take, and the driver is then ended as usual. A second one while
// the driver is in an exchange ends the program at once: the driver cannot
// be called from the handler, and the system closes the port. Out of an
// exchange the loop is about to stop anyway, and does.
#ifndef DAVODEV_KIVHOST_STOP_SIGNALS_H
#define DAVODEV_KIVHOST_STOP_SIGNALS_H

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/line_settings.h"

namespace kivhost {

constexpr int EXIT_INTERRUPTED = 130;  // as a shell reports a program ended by Ctrl-C

// Nonzero once a stop was asked for.
extern volatile std::sig_atomic_t stopRequested;
// Set by the loop while the driver is in an exchange.
extern volatile std::sig_atomic_t inExchange;
// The same stop as stopRequested, set by the same handler, for the loops
// that wait on an atomic flag (the monitor's watch of its port).
const std::atomic<bool>& StopFlag();

// The same stop, asked for by kivhost itself (an output that cannot be
// written): the run ends after the exchange under way and says why.
void RequestStop();

// From now on; what the first Ctrl-C says is StopMessage's.
void CatchStopSignals(const LineOptions& line, size_t longestReply, const char* program = "kivhost");
// From now on, the first Ctrl-C saying nothing: for a loop that does not
// talk to the driver, and ends with its own words.
void CatchStopSignals();

// An exchange usually ends within four attempts, each a request, the
// time-out and the longest reply (characters) on the line; a reply still
// trickling in when its time-out ends takes longer.
std::string StopMessage(const LineOptions& line, size_t longestReply, const char* program = "kivhost");

void SleepMs(uint32_t ms);
// Until the time, or a stop.
void SleepUntilOrStop(std::chrono::steady_clock::time_point until);

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_STOP_SIGNALS_H
