// SIGHUP: the tag file and the options read again without stopping the
// service. The running gateway keeps serving while the new start is checked
// (the same program and arguments with --plan, which reads everything and
// opens no port); a valid one takes over by running the program again in
// the same process once the exchange under way is done; an invalid one is
// refused with its reason and the old configuration stays.
#ifndef KIVGATE_RELOAD_H
#define KIVGATE_RELOAD_H

#include <string>
#include <vector>

namespace kivgate {

// main's arguments, kept for the check and the restart.
void RememberCommandLine(int argc, char** argv);
// From now on SIGHUP asks for a reload instead of a stop.
void CatchReloadSignal();
// True once for each SIGHUP since the last call.
bool TakeReloadRequest();
// "" when the program accepts its arguments again as they now read;
// otherwise why not, in its own words (its last line).
std::string CheckRestart();
// Runs the program again in this process with the same arguments; returns
// only when that fails, with why.
std::string Restart();

}  // namespace kivgate

#endif  // KIVGATE_RELOAD_H
