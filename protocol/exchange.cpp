#include "exchange.h"

#include <cstdio>

#include "frames.h"
#include "host_log.h"
#include "log_messages.h"
#include "serial_port.h"

namespace kiv {

void TraceDump(const uint8_t* bytes, uint32_t n, bool logLines)
{
    // A zero byte ends the line's text but still counts toward its 33.
    char line[TRACE_LINE + 1];
    uint32_t length = 0;
    for (uint32_t i = 0; i < n; ++i) {
        line[length++] = bytes[i] == 0x0D ? '.' : static_cast<char>(bytes[i]);
        if (length == TRACE_LINE) {
            line[length] = '\0';
            if (logLines)
                HostLog(LEVEL_INFO, MSG_RECEIVED_LINE, static_cast<const char*>(line));
            std::printf("(%s)\n", line);
            length = 0;
        }
    }
    if (length > 0) {
        line[length] = '\0';
        std::printf("(%s)\n", line);
    }
}

int32_t Send(ChannelBlock& channel, const uint8_t* frame, uint32_t n)
{
    // Whatever a late or over-long reply left behind must not be taken for
    // the answer to this frame.
    PortFlushInput(channel.portHandle);
    HostLog(LEVEL_INFO, MSG_WILL_SEND, static_cast<int>(n));
    std::printf("REVIZ: %d bytes will be send\n", static_cast<int>(n));
    TraceDump(frame, n, false);

    uint32_t written = 0;
    if (PortWrite(channel.portHandle, frame, n, &written) != PORT_OK || written < n)
        return RECOVERY_ERROR;
    return SUCCESS;
}

int32_t Receive(ChannelBlock& channel, uint8_t* buffer, uint32_t* got, uint32_t want)
{
    *got = 0;
    const PortStatus status = PortRead(channel.portHandle, buffer, want, got);
    std::printf("REVIZ: %d bytes received\n", static_cast<int>(*got));
    TraceDump(buffer, *got, true);
    if (status != PORT_OK) {
        HostLog(LEVEL_INFO, MSG_RECEIVE_FAILED);
        return RECOVERY_ERROR;
    }
    return SUCCESS;  // whether all arrived is the caller's to judge
}

namespace {

// "/", "A" and the station digits of the request, checked before the rest of
// the reply is read at all.
bool ReadHeaderAnswers(const ChannelBlock& channel)
{
    const uint8_t* rx = channel.rxArea;
    const uint8_t* tx = channel.txArea;
    if (rx[0] != '/')
        return false;
    if (rx[2] != tx[1] || rx[3] != tx[2])
        return false;
    return rx[1] == 'A';
}

}  // namespace

int32_t ReadExchange(ChannelBlock& channel, const IoBlock& io)
{
    const uint32_t length = BuildReadFrame(io, channel.txArea);
    const uint32_t rest = ReadReplyRest(io);

    for (int attempt = 0; attempt < MAX_ATTEMPTS; ++attempt) {
        if (Send(channel, channel.txArea, length) != SUCCESS)
            continue;
        uint32_t got = 0;
        if (Receive(channel, channel.rxArea, &got, READ_REPLY_HEADER) != SUCCESS || got < READ_REPLY_HEADER)
            continue;
        if (!ReadHeaderAnswers(channel))
            continue;
        if (Receive(channel, channel.rxArea + READ_REPLY_HEADER, &got, rest) != SUCCESS || got < rest)
            continue;
        return DecodeReplyData(io, channel.rxArea + READ_REPLY_DATA_START);
    }
    return RECOVERY_ERROR;
}

int32_t WriteExchange(ChannelBlock& channel, const IoBlock& io)
{
    if (io.address.operand == 'E')
        return REJECTED;
    const uint32_t length = BuildWriteFrame(io, channel.txArea);

    for (int attempt = 0; attempt < MAX_ATTEMPTS; ++attempt) {
        if (Send(channel, channel.txArea, length) != SUCCESS)
            continue;
        uint32_t got = 0;
        // Only the acknowledgement counts: the station of a write reply is not checked.
        if (Receive(channel, channel.rxArea, &got, WRITE_REPLY_LENGTH) == SUCCESS && got == WRITE_REPLY_LENGTH &&
            channel.rxArea[1] == 'A')
            return SUCCESS;
    }
    return RECOVERY_ERROR;
}

}  // namespace kiv
