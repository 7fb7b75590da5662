#include "commands.h"

namespace kiv {

int32_t ColdStart(DriverRequest*) { return RECOVERY_ERROR; }
int32_t WarmStart(DriverRequest*) { return SUCCESS; }
int32_t EndKiv(DriverRequest*) { SetDriverEnded(); return SUCCESS; }
int32_t CloseCom(DriverRequest*) { return SUCCESS; }
int32_t ReOpenCom(DriverRequest*) { return RECOVERY_ERROR; }
int32_t ChangeKivParams(DriverRequest*) { return RECOVERY_ERROR; }

}  // namespace kiv
