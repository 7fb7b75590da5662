#include "commands.h"
namespace kiv {
int32_t SingleAddressParser(DriverRequest*) { return REJECTED; }
int32_t BlockAddressParser(DriverRequest*) { return REJECTED; }
}
