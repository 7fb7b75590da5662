// Symbolic links to the line and to its mirror, so a port can be named
// before the pseudo-terminal exists. LinkRefusal, the rule they keep, is
// in plc_simulator.h.
#ifndef DAVODEV_PLCSIM_LINE_LINK_H
#define DAVODEV_PLCSIM_LINE_LINK_H

#include <string>

namespace plcsim {

// Makes link point to target. Only a dangling symbolic link (or nothing)
// is replaced, or one that points at target already. A link that exists is replaced through a rename, so a port
// opened during a replug finds one line or the other, never no link; a
// failure leaves nothing behind. Throws std::system_error.
void MakeLink(const std::string& link, const std::string& target);

// Removes link if it still points to target: someone may have pointed it
// elsewhere meanwhile. Either may be empty (no link, or no line).
void RemoveLink(const std::string& link, const std::string& target);

// From a handler of a crash (async-signal-safe): removes the links made and
// not yet removed that still point at their lines.
void RemoveLinksOnCrash();

}  // namespace plcsim

#endif  // DAVODEV_PLCSIM_LINE_LINK_H
