// The driver's commands, one per occupied slot of the command table (the
// address and I/O ones declared in their rooms). Each takes the host's
// request unchanged and returns a result code.
#ifndef DAVODEV_COMMANDS_H
#define DAVODEV_COMMANDS_H

#include <atomic>
#include <cstdint>

#include "address/address_parser.h"
#include "host_api/davodev.h"
#include "protocol/io_commands.h"

namespace kiv {

using CommandHandler = int32_t (*)(DriverRequest* request);

// Channel lifecycle.
int32_t ColdStart(DriverRequest* request);
int32_t WarmStart(DriverRequest* request);
int32_t EndKiv(DriverRequest* request);
int32_t CloseCom(DriverRequest* request);
int32_t ReOpenCom(DriverRequest* request);
int32_t ChangeKivParams(DriverRequest* request);

// Self-description.
int32_t GetKivInfo(DriverRequest* request);

// The whole library's ended state: once set by EndKiv, every call does
// nothing. Read and set through the two functions below.
extern std::atomic<bool> driverEnded;
bool DriverEnded();
void SetDriverEnded();

// For the test programs only: test_hooks.cpp is linked into them and never
// into the library, whose only export stays KivMain.
void ResetDriverEndedForTests();

extern const CommandHandler CommandTable[COMMAND_SLOTS];
extern const char* const CommandNames[COMMAND_SLOTS];

}  // namespace kiv

#endif  // DAVODEV_COMMANDS_H
