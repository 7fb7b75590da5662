// Ctrl-C for the commands that run until stopped (poll, scan, stations).
// The first Ctrl-C (or SIGTERM) asks the loop to stop after the exchange
// under way and says at once how long that can take; the driver is then
// ended as usual. A second one while the driver is in an exchange ends the
// program at once: the driver cannot be called from the handler, and the
// system closes the port. Out of an exchange the loop is about to stop
// anyway, and does.
#ifndef DAVODEV_KIVHOST_STOP_SIGNALS_H
#define DAVODEV_KIVHOST_STOP_SIGNALS_H

#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <string>

#include "line_settings.h"

namespace kivhost {

constexpr int EXIT_INTERRUPTED = 130;  // as a shell reports a program ended by Ctrl-C

// Nonzero once a stop was asked for.
extern volatile std::sig_atomic_t stopRequested;
// Set by the loop while the driver is in an exchange.
extern volatile std::sig_atomic_t inExchange;

// From now on; what the first Ctrl-C says is StopMessage's.
void CatchStopSignals(const LineOptions& line, size_t longestReply);

// An exchange takes at most four attempts, each a request, the time-out and
// the longest reply (characters) on the line.
std::string StopMessage(const LineOptions& line, size_t longestReply);

void SleepMs(uint32_t ms);
// Until the time, or a stop.
void SleepUntilOrStop(std::chrono::steady_clock::time_point until);

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_STOP_SIGNALS_H
