#include <atomic>

#include "driver/commands.h"

namespace kiv {

const CommandHandler CommandTable[COMMAND_SLOTS] = {
    ColdStart,            // 1
    WarmStart,            // 2
    SingleAddressParser,  // 3
    BlockAddressParser,   // 4
    SingleRead,           // 5
    BlockRead,            // 6
    SingleWrite,          // 7
    nullptr,              // 8
    nullptr,              // 9
    BlockWrite,           // 10
    EndKiv,               // 11
    CloseCom,             // 12
    ReOpenCom,            // 13
    GetKivInfo,           // 14
    ChangeKivParams,      // 15
    nullptr,              // 16
};

const char* const CommandNames[COMMAND_SLOTS] = {
    "ColdStart",
    "WarmStart",
    "SingleAddressParser",
    "BlockAddressParser",
    "SingleRead",
    "BlockRead",
    "SingleWrite",
    "0",
    "0",
    "BlockWrite",
    "EndKiv",
    "CloseCom",
    "ReOpenCom",
    "GetKivInfo",
    "ChangeKivParams",
    "0",
};

// One flag for the whole library, shared by every channel's thread.
std::atomic<bool> driverEnded{false};

bool DriverEnded()
{
    return driverEnded.load(std::memory_order_relaxed);
}
void SetDriverEnded()
{
    driverEnded.store(true, std::memory_order_relaxed);
}

}  // namespace kiv

extern "C" int32_t KIV_CALL KivMain(DriverRequest* request)
{
    using namespace kiv;
    if (DriverEnded())
        return SUCCESS;
    if (request == nullptr)
        return REJECTED;
    const uint32_t code = request->code;
    if (code < 1 || code > COMMAND_SLOTS || CommandTable[code - 1] == nullptr)
        return RECOVERY_ERROR;
    return CommandTable[code - 1](request);
}
