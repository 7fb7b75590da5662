#include "serial/serial_win_name.h"

#include <cstdio>
#include <cstring>

namespace kiv {
namespace {

bool IsNumberedPortAbove9(const char* name)
{
    if (std::strlen(name) < 5)
        return false;
    if ((name[0] != 'C' && name[0] != 'c') || (name[1] != 'O' && name[1] != 'o') || (name[2] != 'M' && name[2] != 'm'))
        return false;
    if (name[3] < '1' || name[3] > '9')
        return false;
    for (const char* p = name + 3; *p != '\0'; ++p)
        if (*p < '0' || *p > '9')
            return false;
    return true;
}

}  // namespace

bool WindowsDevicePath(const char* name, char* path, size_t size)
{
    const int written = IsNumberedPortAbove9(name) ? std::snprintf(path, size, "\\\\.\\%s", name)
                                                   : std::snprintf(path, size, "%s", name);
    return written > 0 && static_cast<size_t>(written) < size;
}

}  // namespace kiv
