// What plcsim's main thread waits for while the line is served: a stop
// (Ctrl-C and its kin), or on Linux SIGUSR1, which pulls the line out and
// plugs it in again. A file per platform: signals on Linux, console events
// on Windows.
#ifndef DAVODEV_PLCSIM_EVENTS_H
#define DAVODEV_PLCSIM_EVENTS_H

namespace plcsim {

enum class Event { Stop, Plug };

// Before the serving thread exists: from now on the events reach
// WaitForEvent alone, and a crash still takes the links away. Throws
// std::system_error when they cannot be taken.
void TakeEvents();

// Blocks until the next event.
Event WaitForEvent();

// From any thread: a stop, as Ctrl-C asks for one (an output that failed).
void AskToStop();

// After WaitForEvent's stop, while main closes the line in order: Ctrl-C's
// model as kivhost's (common/stop_token.h). On a terminal it says so; a
// second Ctrl-C (SIGTERM, SIGHUP) ends plcsim at once with status 130, its
// links removed. Quiet otherwise: a service's stop takes no time, there
// being no exchange to wait for.
void StoppingInOrder();

}  // namespace plcsim

#endif  // DAVODEV_PLCSIM_EVENTS_H
