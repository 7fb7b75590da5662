#include "serial/serial_posix_termios.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cstring>

namespace kiv {

static_assert(sizeof(termios2) <= sizeof(LineConfig::native), "termios2 must fit the native blob");

namespace {

struct SpeedCode {
    tcflag_t code;
    uint32_t rate;
};

constexpr SpeedCode SPEEDS[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},         {B150, 150},
    {B200, 200},         {B300, 300},         {B600, 600},         {B1200, 1200},       {B1800, 1800},
    {B2400, 2400},       {B4800, 4800},       {B9600, 9600},       {B19200, 19200},     {B38400, 38400},
    {B57600, 57600},     {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000}, {B1500000, 1500000},
    {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000},
};

uint32_t RateOf(const termios2& t)
{
    const tcflag_t code = t.c_cflag & CBAUD;
    if (code == BOTHER)
        return t.c_ospeed;
    for (const SpeedCode& s : SPEEDS)
        if (s.code == code)
            return s.rate;
    return t.c_ospeed;
}

void SetRate(termios2& t, uint32_t rate)
{
    tcflag_t code = BOTHER;
    for (const SpeedCode& s : SPEEDS)
        if (s.rate == rate)
            code = s.code;
    // CIBAUD left 0: input runs at the output speed.
    t.c_cflag &= ~(CBAUD | CIBAUD);
    t.c_cflag |= code;
    t.c_ispeed = rate;
    t.c_ospeed = rate;
}

}  // namespace

void LineConfigFromTermios(const termios2& t, int modemLines, bool rtsToggle, LineConfig* config)
{
    std::memset(config, 0, sizeof *config);
    std::memcpy(config->native, &t, sizeof t);
    config->baudRate = RateOf(t);
    switch (t.c_cflag & CSIZE) {
    case CS5: config->dataBits = 5; break;
    case CS6: config->dataBits = 6; break;
    case CS7: config->dataBits = 7; break;
    default: config->dataBits = 8; break;
    }
    if (!(t.c_cflag & PARENB))
        config->parity = 0;
    else if (t.c_cflag & CMSPAR)
        config->parity = (t.c_cflag & PARODD) ? 3 : 4;
    else
        config->parity = (t.c_cflag & PARODD) ? 1 : 2;
    config->stopBits = (t.c_cflag & CSTOPB) ? 2 : 0;
    config->binary = !(t.c_lflag & ICANON);
    config->parityCheck = (t.c_iflag & INPCK) != 0;
    config->outxCtsFlow = (t.c_cflag & CRTSCTS) != 0;
    config->outX = (t.c_iflag & IXON) != 0;
    config->inX = (t.c_iflag & IXOFF) != 0;

    config->dtr = (modemLines & TIOCM_DTR) ? DtrControl::On : DtrControl::Off;
    if (t.c_cflag & CRTSCTS)
        config->rts = RtsControl::Handshake;
    else if (rtsToggle)
        config->rts = RtsControl::Toggle;
    else
        config->rts = (modemLines & TIOCM_RTS) ? RtsControl::On : RtsControl::Off;
}

void ReadBackAsAsked(const LineConfig& asked, LineConfig* config)
{
    config->dataBits = asked.dataBits;
    config->parity = asked.parity;
    if (asked.stopBits == 1 && config->stopBits == 2)
        config->stopBits = 1;
    config->binary = asked.binary;
    config->parityCheck = asked.parityCheck;
    config->outxCtsFlow = asked.outxCtsFlow;
    config->outxDsrFlow = asked.outxDsrFlow;
    config->dsrSensitivity = asked.dsrSensitivity;
    config->dtr = asked.dtr;
    config->rts = asked.rts;
    config->errorReplace = asked.errorReplace;
    config->discardNull = asked.discardNull;
    config->abortOnError = asked.abortOnError;
    config->errorChar = asked.errorChar;
}

bool TermiosFromLineConfig(const LineConfig& config, termios2* out)
{
    // What a Windows port refuses, this one refuses too.
    if (config.baudRate == 0 || config.dataBits < 5 || config.dataBits > 8 || config.parity > 4 || config.stopBits > 2)
        return false;

    termios2 t{};
    std::memcpy(&t, config.native, sizeof t);

    // Raw: every byte passes unchanged in both directions.
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON |
                                        IXOFF | IXANY | IMAXBEL | IGNPAR | INPCK);
    // With parity checking a character that fails it reads as a 0 byte; the
    // frame's own checksum then rejects the reply.
    if (config.parityCheck && config.parity != 0)
        t.c_iflag |= INPCK;
    if (config.outX)
        t.c_iflag |= IXON;
    if (config.inX)
        t.c_iflag |= IXOFF;
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN | XCASE);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;

    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
    t.c_cflag |= CREAD | CLOCAL;
    static constexpr tcflag_t SIZES[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= SIZES[config.dataBits - 5];
    // termios knows one or two stop bits. One and a half becomes two, which
    // a 16550-type UART sends as one and a half with five data bits anyway.
    if (config.stopBits != 0)
        t.c_cflag |= CSTOPB;
    switch (config.parity) {
    case 1: t.c_cflag |= PARENB | PARODD; break;
    case 2: t.c_cflag |= PARENB; break;
    case 3: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case 4: t.c_cflag |= PARENB | CMSPAR; break;
    default: break;
    }
    if (config.rts == RtsControl::Handshake)
        t.c_cflag |= CRTSCTS;
    SetRate(t, config.baudRate);
    *out = t;
    return true;
}

void SetModemLine(int fd, int line, bool on)
{
    // Devices without modem lines (pseudo-terminals, some adapters) refuse
    // these; the port works without them, so the refusal is not a failure.
    (void)ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line);
}

bool SetRs485(int fd, bool on)
{
    serial_rs485 rs485{};
    if (ioctl(fd, TIOCGRS485, &rs485) != 0)
        return false;
    if (on) {
        rs485.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        rs485.flags &= ~static_cast<uint32_t>(SER_RS485_RTS_AFTER_SEND);
    } else {
        rs485.flags &= ~static_cast<uint32_t>(SER_RS485_ENABLED);
    }
    return ioctl(fd, TIOCSRS485, &rs485) == 0;
}

}  // namespace kiv
