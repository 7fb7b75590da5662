#include "common/standard_descriptors.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#endif

namespace kivhost {

void HoldStandardDescriptors()
{
#if !defined(_WIN32)
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF)
            (void)open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);  // takes the lowest free number: fd
#endif
}

void IgnoreBrokenPipes()
{
#if !defined(_WIN32)
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

}  // namespace kivhost
