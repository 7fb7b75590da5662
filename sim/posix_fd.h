// The POSIX calls' failures as exceptions, and descriptors closed once.
#ifndef DAVODEV_PLCSIM_POSIX_FD_H
#define DAVODEV_PLCSIM_POSIX_FD_H

#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace plcsim {

// errno's error, with what was being done.
inline std::system_error SystemError(const std::string& what)
{
    return std::system_error(errno, std::generic_category(), what);
}

// Closes fd if open and marks it closed.
inline void CloseFd(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

}  // namespace plcsim

#endif  // DAVODEV_PLCSIM_POSIX_FD_H
