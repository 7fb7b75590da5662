#include "commands.h"

namespace kiv {

int32_t SingleRead(DriverRequest*) { return RECOVERY_ERROR; }
int32_t BlockRead(DriverRequest*) { return RECOVERY_ERROR; }
int32_t SingleWrite(DriverRequest*) { return RECOVERY_ERROR; }
int32_t BlockWrite(DriverRequest*) { return RECOVERY_ERROR; }

}  // namespace kiv
