// The port name handed to the driver, which holds at most 11 characters.
#ifndef DAVODEV_TOOLS_PORT_NAME_H
#define DAVODEV_TOOLS_PORT_NAME_H

#include <string>
#include <string_view>

namespace kivhost {

constexpr size_t PORT_NAME_MAX = 11;  // the driver's field holds 11 characters and a NUL

// Port names as the driver's 12-byte field holds them. A path under /dev
// that is too long is given by its name under /dev, which the Linux driver
// looks for there. Empty on failure, with the reason in error.
std::string DriverPortName(std::string_view name, std::string* error);

}  // namespace kivhost

#endif  // DAVODEV_TOOLS_PORT_NAME_H
