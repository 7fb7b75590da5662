// The decisions behind kivhost's port advice, apart from the system calls
// that feed them, so they can be checked on any machine: what would let a
// user open a device they were refused, and whether a device is a terminal.
#ifndef DAVODEV_KIVHOST_PORT_ACCESS_H
#define DAVODEV_KIVHOST_PORT_ACCESS_H

#include <string>
#include <vector>

namespace kivhost {

// A device as stat shows it, with its owner's and group's names.
struct DeviceAccess {
    unsigned mode = 0;  // st_mode: the type and permission bits
    unsigned group = 0;
    std::string ownerName;
    std::string groupName;
};

// ls's "crw-rw----" for a mode.
std::string ModeText(unsigned mode);

// Why a user in userGroups was refused reading and writing the device at
// path, and what would help. A group is advised only when its bits give
// both read and write: joining one that cannot open it would not help.
std::string PermissionAdvice(const DeviceAccess& device, const std::vector<unsigned>& userGroups,
                             const std::string& path);

// Whether a driver in /proc/tty/drivers (given as its text) serves the
// character device major:minor. Lines are "name node major minors type",
// major or minors either one number or a range "first-last".
bool TtyDriverServes(const std::string& drivers, unsigned major, unsigned minor);

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_PORT_ACCESS_H
