#include "serial/serial_posix_name.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace kiv {

bool PosixDevicePath(const char* name, char* path, size_t size)
{
    if (name == nullptr || name[0] == '\0' || size == 0)
        return false;
    int written = -1;
    if (name[0] == '/') {
        written = std::snprintf(path, size, "%s", name);
    } else if (std::strcmp(name, "NUL") == 0) {
        written = std::snprintf(path, size, "/dev/null");
    } else if ((name[0] == 'C' || name[0] == 'c') && (name[1] == 'O' || name[1] == 'o') &&
               (name[2] == 'M' || name[2] == 'm') && name[3] >= '1' && name[3] <= '9') {
        // Only a bare COMn is a numbered port; "COM1x" is just a name.
        uint32_t number = 0;
        const char* p = name + 3;
        while (*p >= '0' && *p <= '9' && number < 100000)
            number = number * 10 + static_cast<uint32_t>(*p++ - '0');
        if (*p == '\0')
            written = std::snprintf(path, size, "/dev/ttyS%u", number - 1);
        else
            written = std::snprintf(path, size, "/dev/%s", name);
    } else {
        written = std::snprintf(path, size, "/dev/%s", name);
    }
    return written > 0 && static_cast<size_t>(written) < size;
}

}  // namespace kiv
