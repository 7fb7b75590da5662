#include "protocol/exchange.h"

#include <cstdio>
#include <cstring>

#include "host_api/host_log.h"
#include "host_api/log_messages.h"
#include "protocol/frames.h"
#include "serial/serial_port.h"

namespace kiv {

namespace {

// The traces keep the exact forms of printf("REVIZ: %d bytes ...\n") and
// printf("(%s)\n"), but the trace of one send or one reception is put
// together here and handed to stdout in one piece: formatting costs more
// than the rest of an exchange, and on a fast line every call between a
// reply and the next request delays the station by far more than its length.
class TraceText {
public:
    TraceText() = default;
    ~TraceText() { Flush(); }
    TraceText(const TraceText&) = delete;
    TraceText& operator=(const TraceText&) = delete;

    template <size_t N>
    void ByteCount(uint32_t count, const char (&what)[N]);
    void Dump(const uint8_t* bytes, uint32_t n, bool logLines);
    void Flush()
    {
        if (used_ != 0)
            (void)std::fwrite(text_, 1, used_, stdout);  // a trace that cannot be written is lost; the exchange goes on
        used_ = 0;
    }

private:
    // Room for n more characters, written out first if need be.
    char* Room(size_t n)
    {
        if (used_ + n > sizeof text_)
            Flush();
        return text_ + used_;
    }
    void Line(const uint8_t* bytes, uint32_t n, bool log);

    char text_[512];
    size_t used_ = 0;
};

template <size_t N>
void TraceText::ByteCount(uint32_t count, const char (&what)[N])
{
    char digits[10];
    size_t nDigits = 0;
    do {
        digits[nDigits++] = static_cast<char>('0' + count % 10);
        count /= 10;
    } while (count != 0);

    static constexpr char PREFIX[] = "REVIZ: ";
    char* const out = Room(sizeof PREFIX + sizeof digits + N);
    size_t n = sizeof PREFIX - 1;
    std::memcpy(out, PREFIX, n);
    while (nDigits > 0)
        out[n++] = digits[--nDigits];
    std::memcpy(out + n, what, N - 1);
    used_ += n + N - 1;
}

// One line in its printed form: "(", the text, ")\n", CR shown as ".". The
// text is what "%s" would show, so it stops at a zero byte although the line
// went on. A 255-word reply is 32 of these lines: they are copied whole, not
// a byte at a time. A line the host's log is told of comes after everything
// before it has gone to stdout, as it would with one printf a line.
void TraceText::Line(const uint8_t* bytes, uint32_t n, bool log)
{
    if (log)
        Flush();
    const void* zero = std::memchr(bytes, 0, n);
    const uint32_t visible = zero != nullptr ? static_cast<uint32_t>(static_cast<const uint8_t*>(zero) - bytes) : n;
    char* const out = Room(TRACE_LINE + 3);
    char* const text = out + 1;
    std::memcpy(text, bytes, visible);
    // A frame has one CR, at its end: CRs are looked for, not every byte.
    const char* const end = text + visible;
    for (char* cr = text; (cr = static_cast<char*>(std::memchr(cr, 0x0D, static_cast<size_t>(end - cr)))) != nullptr;)
        *cr++ = '.';
    if (log) {
        text[visible] = '\0';
        HostLog(LEVEL_INFO, MSG_RECEIVED_LINE, static_cast<const char*>(text));
    }
    out[0] = '(';
    text[visible] = ')';
    text[visible + 1] = '\n';
    used_ += visible + 3;
}

void TraceText::Dump(const uint8_t* bytes, uint32_t n, bool logLines)
{
    for (uint32_t start = 0; start < n; start += TRACE_LINE) {
        const uint32_t length = n - start < TRACE_LINE ? n - start : TRACE_LINE;
        // The last, shorter line is printed but never logged.
        Line(bytes + start, length, logLines && length == TRACE_LINE);
    }
}

}  // namespace

void TraceDump(const uint8_t* bytes, uint32_t n, bool logLines)
{
    TraceText trace;
    trace.Dump(bytes, n, logLines);
}

int32_t Send(ChannelBlock& channel, const uint8_t* frame, uint32_t n)
{
    // Whatever a late or over-long reply left behind must not be taken for
    // the answer to this frame. A port that cannot be drained fails the
    // write or the read that follows, which is where the attempt is judged.
    (void)PortFlushInput(channel.portHandle);
    HostLog(LEVEL_INFO, MSG_WILL_SEND, static_cast<int>(n));
    {
        TraceText trace;
        trace.ByteCount(n, " bytes will be send\n");
        trace.Dump(frame, n, false);
    }

    uint32_t written = 0;
    if (PortWrite(channel.portHandle, frame, n, &written) != PORT_OK || written < n)
        return RECOVERY_ERROR;
    return SUCCESS;
}

int32_t Receive(ChannelBlock& channel, uint8_t* buffer, uint32_t* got, uint32_t want)
{
    *got = 0;
    const PortStatus status = PortRead(channel.portHandle, buffer, want, got);
    {
        TraceText trace;
        trace.ByteCount(*got, " bytes received\n");
        trace.Dump(buffer, *got, true);
    }
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

// A station that failed an attempt may still be sending: a refused header
// is followed by the rest of its reply, noise by more noise. At a real
// line's speed that is still on its way when the next request goes out and
// would be read as its reply, and the next station's. So after an attempt
// that heard anything, the line is let go quiet first; after silence there
// is nothing to wait for.
void AfterFailedAttempt(const ChannelBlock& channel, bool heard)
{
    if (heard)
        PortAwaitQuiet(channel.portHandle, QuietGapMs(channel.settings));
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
        if (Receive(channel, channel.rxArea, &got, READ_REPLY_HEADER) != SUCCESS || got < READ_REPLY_HEADER) {
            AfterFailedAttempt(channel, got > 0);
            continue;
        }
        if (!ReadHeaderAnswers(channel)) {
            AfterFailedAttempt(channel, true);
            continue;
        }
        if (Receive(channel, channel.rxArea + READ_REPLY_HEADER, &got, rest) != SUCCESS || got < rest) {
            AfterFailedAttempt(channel, true);
            continue;
        }
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
        AfterFailedAttempt(channel, got > 0);
    }
    return RECOVERY_ERROR;
}

}  // namespace kiv
