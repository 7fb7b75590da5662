// The host's log function err, exported by its runtime library DORVAK.
#ifndef DAVODEV_HOST_LOG_H
#define DAVODEV_HOST_LOG_H

#include <cstdint>

namespace kiv {

using ErrFunction = int (*)(int32_t level, const char* format, ...);

// The host's err, or nullptr when the host library cannot be found (then the
// driver's log lines are dropped and it works on).
ErrFunction HostErr();

// The format is the message as the host sees it, expanded by err itself.
template <typename... Args>
inline void HostLog(int32_t level, const char* format, Args... args)
{
    if (ErrFunction log = HostErr())
        (void)log(level, format, args...);  // err's result means nothing to the driver
}

}  // namespace kiv

#endif  // DAVODEV_HOST_LOG_H
