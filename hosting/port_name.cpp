#include "hosting/port_name.h"

namespace kivhost {

std::string DriverPortName(std::string_view name, std::string* error)
{
    if (name.empty()) {
        *error = "--port needs a name, e.g. --port ttyUSB0 or --port COM3";
        return {};
    }
    std::string_view fitted = name;
    if (fitted.size() > PORT_NAME_MAX && fitted.starts_with("/dev/"))
        fitted.remove_prefix(5);  // the driver looks for bare names under /dev
    if (fitted.size() > PORT_NAME_MAX) {
        *error = "port name \"" + std::string(name) +
                 "\" is longer than the driver's 11 characters; make a short link to it, e.g. ln -s " +
                 std::string(name) + " /tmp/plc1, and use --port /tmp/plc1";
        return {};
    }
    return std::string(fitted);
}

}  // namespace kivhost
