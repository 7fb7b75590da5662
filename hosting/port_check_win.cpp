// Windows: nothing shows who holds a COM port, so only what to check.
#include "hosting/port_check.h"

namespace kivhost {

std::string PortProblemBeforeOpen(const std::string&)
{
    return {};
}

std::string PortProblemAfterRefusal(const std::string& name)
{
    return "cannot open port \"" + name +
           "\" (ColdStart returned RECOVERY_ERROR): check the name (Device Manager lists the "
           "COM ports under Ports), that the adapter is plugged in, and that no other program has the port open";
}

PortHolders HoldersOf(const std::string&)
{
    return {};
}

}  // namespace kivhost
