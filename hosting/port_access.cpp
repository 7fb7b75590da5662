#include "hosting/port_access.h"

#include <algorithm>
#include <sstream>

namespace kivhost {
namespace {

constexpr unsigned GROUP_READ_WRITE = 060;
constexpr unsigned TYPE_MASK = 0170000;
constexpr unsigned CHARACTER_DEVICE = 0020000;

// "136" or "136-143": whether value is in it.
bool InRange(const std::string& range, unsigned value)
{
    unsigned long first = 0;
    unsigned long last = 0;
    char dash = 0;
    std::istringstream in(range);
    if (!(in >> first))
        return false;
    last = first;
    if (in >> dash && !(dash == '-' && in >> last))
        return false;
    return value >= first && value <= last;
}

}  // namespace

std::string ModeText(unsigned mode)
{
    std::string text = (mode & TYPE_MASK) == CHARACTER_DEVICE ? "c" : "-";
    const char* letters = "rwx";
    for (int bit = 8; bit >= 0; --bit)
        text += (mode >> bit) & 1u ? letters[(8 - bit) % 3] : '-';
    return text;
}

std::string PermissionAdvice(const DeviceAccess& device, const std::vector<unsigned>& userGroups,
                             const std::string& path)
{
    const std::string& group = device.groupName;
    if ((device.mode & GROUP_READ_WRITE) == GROUP_READ_WRITE) {
        if (std::find(userGroups.begin(), userGroups.end(), device.group) == userGroups.end())
            return "permission denied: it may be used by the group " + group +
                   ", and you are not in it; add yourself with sudo usermod -aG " + group + " $USER and log in again";
        return "permission denied, though its group " + group +
               " may read and write it and you are in it: an access list or a security module is in the way";
    }
    return "permission denied: its mode " + ModeText(device.mode) + " (owner " + device.ownerName + ", group " + group +
           ") gives its group no read and write, so joining a group would not help; a udev rule that gives it a "
           "group with both (GROUP=\"dialout\", MODE=\"0660\") would, as would running as " +
           device.ownerName + ", or, until the device is made again, sudo chgrp dialout " + path +
           " && sudo chmod 660 " + path;
}

bool TtyDriverServes(const std::string& drivers, unsigned major, unsigned minor)
{
    std::istringstream lines(drivers);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string name, node, majors, minors;
        if (fields >> name >> node >> majors >> minors && InRange(majors, major) && InRange(minors, minor))
            return true;
    }
    return false;
}

}  // namespace kivhost
