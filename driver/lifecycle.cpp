// Starting, refreshing, closing, reopening, reconfiguring and ending a
// channel. These are the only commands that open or close its port; the
// channel's whole state lives in the host's ChannelBlock. The host may hand
// in a block it never zeroed, or one holding another channel's handle, so a
// stored handle is closed only when the serial layer holds that port.
#include <cstring>

#include "driver/commands.h"
#include "host_api/host_log.h"
#include "host_api/log_messages.h"
#include "serial/serial_port.h"

namespace kiv {
namespace {

// A name fits the channel's field when its NUL lies within the first 12
// bytes; every name field is at least that long.
bool NameFits(const char* name)
{
    return std::memchr(name, '\0', PORT_NAME_SIZE) != nullptr;
}

// Copies a name up to and including its NUL; bytes after it stay as they were.
void StoreName(ChannelBlock& channel, const char* name)
{
    size_t i = 0;
    do {
        channel.portName[i] = name[i];
    } while (name[i++] != '\0');
}

// The port described by the channel, opened for this block, or NO_PORT;
// the status is not passed on.
PortHandle OpenStoredPort(const ChannelBlock& channel)
{
    if (!NameFits(channel.portName))
        return NO_PORT;
    PortHandle handle = NO_PORT;
    if (PortOpen(channel.portName, channel.settings, channel.lineFlags, &handle, &channel) != PORT_OK)
        return NO_PORT;
    return handle;
}

// Any block may close a port the layer holds, so a host that moves a started
// block keeps working. A handle the layer does not hold (garbage, or closed
// already) names no open port: it is forgotten, not closed.
int32_t CloseChannel(ChannelBlock& channel)
{
    if (channel.portHandle == NO_PORT)
        return SUCCESS;
    if (PortIsOpen(channel.portHandle) && PortClose(channel.portHandle) != PORT_OK)
        return RECOVERY_ERROR;
    channel.portHandle = NO_PORT;
    channel.portEnabled = 0;
    return SUCCESS;
}

}  // namespace

int32_t ColdStart(DriverRequest* request)
{
    ChannelBlock* channel = request->channel;
    const auto* block = static_cast<const ColdStartBlock*>(request->params);
    if (channel == nullptr || block == nullptr)
        return REJECTED;
    if (block->enable != 0 && !NameFits(block->portName))
        return REJECTED;

    // A port this block opened and still holds would stay locked and leak.
    // Only such a port: before its first start the block may hold anything,
    // another channel's live handle included.
    if (PortOpenedBy(channel->portHandle, channel))
        (void)PortClose(channel->portHandle);  // dropped whatever the close says: the layer lets go of it

    channel->portEnabled = block->enable;
    channel->readTimeout = block->timeout;
    channel->portHandle = NO_PORT;
    if (block->enable == 0)
        return SUCCESS;

    StoreName(*channel, block->portName);
    std::memcpy(&channel->settings, &block->settings, sizeof channel->settings);
    channel->lineFlags = LINE_FLAGS_DTR_RTS_ON;

    const PortHandle handle = OpenStoredPort(*channel);
    if (handle == NO_PORT)
        return RECOVERY_ERROR;
    channel->portHandle = handle;
    HostLog(LEVEL_INFO, MSG_INSTALLED);
    // The previous time-out is of no use here; a port that refuses the
    // channel's keeps the one second of the open.
    (void)PortSetReadTimeout(handle, block->timeout);
    return SUCCESS;
}

int32_t WarmStart(DriverRequest* request)
{
    ChannelBlock* channel = request->channel;
    if (channel == nullptr)
        return REJECTED;
    if (channel->portEnabled != 0 && channel->portHandle != NO_PORT)
        (void)PortFlushInput(channel->portHandle);  // stale input is all it drops; it succeeds regardless
    return SUCCESS;
}

int32_t CloseCom(DriverRequest* request)
{
    if (request->channel == nullptr)
        return REJECTED;
    return CloseChannel(*request->channel);
}

int32_t ReOpenCom(DriverRequest* request)
{
    ChannelBlock* channel = request->channel;
    if (channel == nullptr)
        return REJECTED;
    const PortHandle handle = OpenStoredPort(*channel);
    if (handle == NO_PORT)
        return RECOVERY_ERROR;
    // A handle still stored here is let go: the null device opened again,
    // a vanished device whose name works again, or the old port left by a
    // ChangeKivParams whose close and open both failed. PortClose closes it
    // only if the layer still holds it.
    if (channel->portHandle != NO_PORT && channel->portHandle != handle)
        (void)PortClose(channel->portHandle);  // the new port is in place whatever the old one's close says
    channel->portEnabled = 1;
    channel->portHandle = handle;
    return SUCCESS;
}

int32_t ChangeKivParams(DriverRequest* request)
{
    ChannelBlock* channel = request->channel;
    const auto* block = static_cast<const ChangeParamsBlock*>(request->params);
    if (channel == nullptr || block == nullptr)
        return REJECTED;
    if (!NameFits(block->portName))
        return REJECTED;

    const bool sameName = std::strncmp(block->portName, channel->portName, PORT_NAME_SIZE) == 0;
    if (!sameName && channel->portHandle != NO_PORT)
        (void)CloseChannel(*channel);  // a failed close leaves the old handle until the open replaces it

    StoreName(*channel, block->portName);
    if (block->settings.baudRate != 0)
        std::memcpy(&channel->settings, &block->settings, sizeof channel->settings);

    const PortHandle handle = OpenStoredPort(*channel);
    if (handle == NO_PORT) {
        HostLog(LEVEL_ERROR, MSG_NEW_PORT_FAILED);
        return RECOVERY_ERROR;
    }
    if (sameName && channel->portHandle != NO_PORT && channel->portHandle != handle)
        (void)PortClose(channel->portHandle);  // the new port is in place whatever the old one's close says
    channel->portHandle = handle;
    channel->portEnabled = 1;
    (void)PortSetReadTimeout(handle, channel->readTimeout);  // as in ColdStart
    return SUCCESS;
}

int32_t EndKiv(DriverRequest* request)
{
    ChannelBlock* channel = request->channel;
    if (channel == nullptr)
        return REJECTED;
    SetDriverEnded();
    const int32_t result = CloseChannel(*channel);
    HostLog(LEVEL_INFO, MSG_ENDED);
    return result;
}

}  // namespace kiv
