// The host's reads and writes, for the command table.
#ifndef DAVODEV_IO_COMMANDS_H
#define DAVODEV_IO_COMMANDS_H

#include <cstdint>

#include "host_api/davodev.h"

namespace kiv {

int32_t SingleRead(DriverRequest* request);
int32_t BlockRead(DriverRequest* request);
int32_t SingleWrite(DriverRequest* request);
int32_t BlockWrite(DriverRequest* request);

}  // namespace kiv

#endif  // DAVODEV_IO_COMMANDS_H
