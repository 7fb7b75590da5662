// The stop signals of kivhost and kivgate, turned into the run's one
// StopToken (common/stop_token.h, where the Ctrl-C model is told). The
// handlers only ask the token to stop, write the words prepared for them,
// and on a second signal during an exchange end the program.
#ifndef DAVODEV_KIVHOST_STOP_SIGNALS_H
#define DAVODEV_KIVHOST_STOP_SIGNALS_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/line_settings.h"
#include "common/stop_token.h"

namespace kivhost {

constexpr int EXIT_INTERRUPTED = 130;  // as a shell reports a program ended by Ctrl-C

// The run's stop, asked for by the program itself (an output that cannot
// be written): the run ends after the exchange under way and says why.
void RequestStop();

// From now on; what the first Ctrl-C says is StopMessage's. The token the
// handlers set, for the caller to hand to its loops; the same one on every
// call.
StopToken& CatchStopSignals(const LineOptions& line, size_t longestReply, const char* program = "kivhost");
// From now on, the first Ctrl-C saying nothing: for a loop that does not
// talk to the driver, and ends with its own words.
StopToken& CatchStopSignals();
// For a program that took the first stop signal itself (plcsim waits for
// it with sigwait): from now on the token is asked to stop and busy, and a
// further stop signal says "PROGRAM: atOnceWords", calls atOnce (which must
// be safe in a handler, or null) and ends with EXIT_INTERRUPTED.
StopToken& CatchSecondStop(const char* program, const char* atOnceWords, void (*atOnce)());

// An exchange usually ends within four attempts, each a request, the
// time-out and the longest reply (characters) on the line; a reply still
// trickling in when its time-out ends takes longer.
std::string StopMessage(const LineOptions& line, size_t longestReply, const char* program = "kivhost");

// While one lives, the stop signals (and SIGHUP) are blocked on this
// thread, so every thread it starts inherits them blocked and the handlers
// run on this one alone once it ends; a signal that came meanwhile is taken
// then. For a program whose workers must never see a handler run on them.
// Nothing on Windows, whose console handlers have a thread of their own.
class StopSignalsHeld {
public:
    StopSignalsHeld();
    ~StopSignalsHeld();
    StopSignalsHeld(const StopSignalsHeld&) = delete;
    StopSignalsHeld& operator=(const StopSignalsHeld&) = delete;

private:
    alignas(8) unsigned char before_[128];  // the thread's mask before, as the platform keeps it
};

void SleepMs(uint32_t ms);

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_STOP_SIGNALS_H
