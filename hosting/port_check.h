// Why a port cannot be used, told apart as far as the system shows it:
// before the driver opens it (it does not exist, it is no character device,
// permission is denied) and after the driver refused it (another program
// holds it). Linux looks at the device and at /proc; Windows says only what
// to check.
#ifndef DAVODEV_KIVHOST_PORT_CHECK_H
#define DAVODEV_KIVHOST_PORT_CHECK_H

#include <string>

namespace kivhost {

// Empty if nothing is seen in the way of opening the port; otherwise why,
// in one line that starts with the port. name: as the driver takes it.
std::string PortProblemBeforeOpen(const std::string& name);

// Why the driver may have refused to open the port, in one line that
// starts with the port.
std::string PortProblemAfterRefusal(const std::string& name);

// Other programs seen holding a serial port, each "pid N (command)", joined
// with ", ": those with a lock on it first, then those that only have it
// open. Both empty for a device that is not a terminal, and on Windows,
// where nothing shows them.
struct PortHolders {
    std::string locking;
    std::string open;
    bool Any() const { return !locking.empty() || !open.empty(); }
};
PortHolders HoldersOf(const std::string& name);

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_PORT_CHECK_H
