// The host's reads and writes: SingleRead, BlockRead, SingleWrite, BlockWrite.
#include "protocol/io_commands.h"
#include "protocol/exchange.h"
#include "protocol/frames.h"

namespace kiv {
namespace {

// What the host hands in must fit the frame and the receive area; anything
// else is refused before a byte is built, sent or traced.
IoBlock* CheckedIo(DriverRequest* request)
{
    auto* io = static_cast<IoBlock*>(request->params);
    if (request->channel == nullptr || io == nullptr || io->values == nullptr)
        return nullptr;
    if (io->count < 0 || io->count > MAX_COUNT)
        return nullptr;
    if (!IsFrameableAddress(io->address))
        return nullptr;
    return io;
}

}  // namespace

int32_t SingleRead(DriverRequest* request)
{
    IoBlock* io = CheckedIo(request);
    if (io == nullptr || request->channel->portEnabled == 0)
        return REJECTED;
    const int32_t result = ReadExchange(*request->channel, *io);
    if (result != SUCCESS)
        return result;
    if (io->address.bit != NO_BIT)
        io->values[1] = static_cast<uint16_t>((io->values[1] >> io->address.bit) & 1);
    return SUCCESS;
}

int32_t BlockRead(DriverRequest* request)
{
    IoBlock* io = CheckedIo(request);
    if (io == nullptr || request->channel->portEnabled == 0)
        return REJECTED;
    return ReadExchange(*request->channel, *io);
}

// Writes do not look at portEnabled: with no port every attempt fails.
int32_t SingleWrite(DriverRequest* request)
{
    IoBlock* io = CheckedIo(request);
    if (io == nullptr)
        return REJECTED;
    return WriteExchange(*request->channel, *io);
}

int32_t BlockWrite(DriverRequest* request)
{
    return SingleWrite(request);
}

}  // namespace kiv
