// Windows backend: the serial communications services themselves, which
// define the behaviour the layer relies on. This file only converts between
// the layer's records and the API's.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstring>

#include "serial/serial_platform.h"
#include "serial/serial_win_dcb.h"
#include "serial/serial_win_name.h"

namespace kiv {

static_assert(sizeof(DCB) <= sizeof(LineConfig::native), "DCB must fit the native blob");

void LineConfigFromDcb(const DCB& dcb, LineConfig* config)
{
    std::memset(config, 0, sizeof *config);
    std::memcpy(config->native, &dcb, sizeof dcb);
    config->baudRate = dcb.BaudRate;
    config->dataBits = dcb.ByteSize;
    config->parity = dcb.Parity;
    config->stopBits = dcb.StopBits;
    config->binary = dcb.fBinary != 0;
    config->parityCheck = dcb.fParity != 0;
    config->outxCtsFlow = dcb.fOutxCtsFlow != 0;
    config->outxDsrFlow = dcb.fOutxDsrFlow != 0;
    config->dsrSensitivity = dcb.fDsrSensitivity != 0;
    config->dtr = dcb.fDtrControl == DTR_CONTROL_ENABLE      ? DtrControl::On
                  : dcb.fDtrControl == DTR_CONTROL_HANDSHAKE ? DtrControl::Handshake
                                                             : DtrControl::Off;
    config->rts = dcb.fRtsControl == RTS_CONTROL_ENABLE      ? RtsControl::On
                  : dcb.fRtsControl == RTS_CONTROL_HANDSHAKE ? RtsControl::Handshake
                  : dcb.fRtsControl == RTS_CONTROL_TOGGLE    ? RtsControl::Toggle
                                                             : RtsControl::Off;
    config->outX = dcb.fOutX != 0;
    config->inX = dcb.fInX != 0;
    config->errorReplace = dcb.fErrorChar != 0;
    config->discardNull = dcb.fNull != 0;
    config->abortOnError = dcb.fAbortOnError != 0;
    config->errorChar = dcb.ErrorChar;
}

void DcbFromLineConfig(const LineConfig& config, DCB* out)
{
    DCB dcb;
    std::memcpy(&dcb, config.native, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = config.baudRate;
    dcb.fBinary = config.binary;
    dcb.fParity = config.parityCheck;
    dcb.fOutxCtsFlow = config.outxCtsFlow;
    dcb.fOutxDsrFlow = config.outxDsrFlow;
    dcb.fDsrSensitivity = config.dsrSensitivity;
    switch (config.dtr) {
    case DtrControl::On: dcb.fDtrControl = DTR_CONTROL_ENABLE; break;
    case DtrControl::Handshake: dcb.fDtrControl = DTR_CONTROL_HANDSHAKE; break;
    default: dcb.fDtrControl = DTR_CONTROL_DISABLE; break;
    }
    switch (config.rts) {
    case RtsControl::On: dcb.fRtsControl = RTS_CONTROL_ENABLE; break;
    case RtsControl::Handshake: dcb.fRtsControl = RTS_CONTROL_HANDSHAKE; break;
    case RtsControl::Toggle: dcb.fRtsControl = RTS_CONTROL_TOGGLE; break;
    default: dcb.fRtsControl = RTS_CONTROL_DISABLE; break;
    }
    dcb.fOutX = config.outX;
    dcb.fInX = config.inX;
    dcb.fErrorChar = config.errorReplace;
    dcb.fNull = config.discardNull;
    dcb.fAbortOnError = config.abortOnError;
    dcb.ByteSize = config.dataBits;
    dcb.Parity = config.parity;
    dcb.StopBits = config.stopBits;
    dcb.ErrorChar = config.errorChar;
    *out = dcb;
}

namespace {

// The host's ChannelBlock keeps the handle in 32 bits, which holds a HANDLE
// only in a 32-bit process.
static_assert(sizeof(HANDLE) == sizeof(PortHandle), "the driver is a 32-bit Windows library");
HANDLE ToNative(PortHandle handle)
{
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle));
}

PortHandle FromNative(HANDLE handle)
{
    return static_cast<PortHandle>(reinterpret_cast<uintptr_t>(handle));
}

bool WinOpen(const char* name, PortHandle* handle)
{
    char path[MAX_PATH];
    if (!WindowsDevicePath(name, path, sizeof path))
        return false;
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    if (h == nullptr) {
        // Never returned in practice, but 0 means "no port" to the host.
        return false;
    }
    *handle = FromNative(h);
    return true;
}

bool WinClose(PortHandle handle)
{
    return CloseHandle(ToNative(handle)) != 0;
}

bool WinGetState(PortHandle handle, LineConfig* config)
{
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(ToNative(handle), &dcb))
        return false;
    LineConfigFromDcb(dcb, config);
    return true;
}

bool WinSetState(PortHandle handle, const LineConfig* config)
{
    DCB dcb;
    DcbFromLineConfig(*config, &dcb);
    return SetCommState(ToNative(handle), &dcb) != 0;
}

bool WinGetTimeouts(PortHandle handle, PortTimeouts* timeouts)
{
    COMMTIMEOUTS t;
    if (!GetCommTimeouts(ToNative(handle), &t))
        return false;
    timeouts->readInterval = t.ReadIntervalTimeout;
    timeouts->readTotalMultiplier = t.ReadTotalTimeoutMultiplier;
    timeouts->readTotalConstant = t.ReadTotalTimeoutConstant;
    timeouts->writeTotalMultiplier = t.WriteTotalTimeoutMultiplier;
    timeouts->writeTotalConstant = t.WriteTotalTimeoutConstant;
    return true;
}

bool WinSetTimeouts(PortHandle handle, const PortTimeouts* timeouts)
{
    COMMTIMEOUTS t;
    t.ReadIntervalTimeout = timeouts->readInterval;
    t.ReadTotalTimeoutMultiplier = timeouts->readTotalMultiplier;
    t.ReadTotalTimeoutConstant = timeouts->readTotalConstant;
    t.WriteTotalTimeoutMultiplier = timeouts->writeTotalMultiplier;
    t.WriteTotalTimeoutConstant = timeouts->writeTotalConstant;
    return SetCommTimeouts(ToNative(handle), &t) != 0;
}

bool WinSetupQueues(PortHandle handle, uint32_t inQueue, uint32_t outQueue)
{
    return SetupComm(ToNative(handle), inQueue, outQueue) != 0;
}

bool WinClearError(PortHandle handle, uint32_t* bytesWaiting)
{
    DWORD errors = 0;
    COMSTAT status;
    std::memset(&status, 0, sizeof status);
    if (!ClearCommError(ToNative(handle), &errors, &status))
        return false;
    *bytesWaiting = status.cbInQue;
    return true;
}

bool WinRead(PortHandle handle, void* buffer, uint32_t n, uint32_t* got)
{
    DWORD done = 0;
    const BOOL ok = ReadFile(ToNative(handle), buffer, n, &done, nullptr);
    *got = done;
    return ok != 0;
}

bool WinWrite(PortHandle handle, const void* data, uint32_t n, uint32_t* written)
{
    DWORD done = 0;
    const BOOL ok = WriteFile(ToNative(handle), data, n, &done, nullptr);
    *written = done;
    return ok != 0;
}

bool WinSetBreak(PortHandle handle, bool on)
{
    return (on ? SetCommBreak(ToNative(handle)) : ClearCommBreak(ToNative(handle))) != 0;
}

void WinSleepMs(uint32_t milliseconds)
{
    Sleep(milliseconds);
}

constexpr SerialPlatform WIN_PLATFORM = {
    WinOpen,        WinClose,      WinGetState, WinSetState, WinGetTimeouts, WinSetTimeouts,
    WinSetupQueues, WinClearError, WinRead,     WinWrite,    WinSetBreak,    WinSleepMs,
};

}  // namespace

const SerialPlatform& NativeSerialPlatform()
{
    return WIN_PLATFORM;
}

}  // namespace kiv
