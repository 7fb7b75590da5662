#include "common/com_port_win.h"

#include <algorithm>
#include <cstring>

#include "serial/serial_platform.h"
#include "serial/serial_win_dcb.h"
#include "serial/serial_win_name.h"

namespace kivhost {
namespace {

std::string OpenFailure(const std::string& name, DWORD code)
{
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return "no port " + name +
               ": check the name (Device Manager lists the COM ports under Ports) and that "
               "the adapter is plugged in";
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return name + " is open in another program; close it there first (a port serves one program at a time)";
    default: return "cannot open " + name + ": " + WindowsErrorText(code);
    }
}

// The driver's configuration of the line, over what the port holds.
kiv::LineConfig ConfigOf(const TtyLine& line, const DCB& held, ComAccess access)
{
    const auto code = [](uint16_t value) { return static_cast<uint8_t>(std::min<uint16_t>(value, 0xFF)); };
    kiv::LineConfig config{};
    kiv::LineConfigFromDcb(held, &config);
    config.baudRate = line.baud;
    config.dataBits = code(line.dataBits);
    config.parity = code(line.parity);
    config.stopBits = code(line.stopBits);
    config.binary = true;
    config.parityCheck = false;  // a damaged character is passed on, not replaced
    config.outxCtsFlow = config.outxDsrFlow = config.dsrSensitivity = false;
    config.dtr = kiv::DtrControl::On;  // powers many line-side converters
    // An RS-485 converter whose direction follows RTS would drive the bus
    // while RTS is on: a port that only listens keeps it off.
    config.rts = access == ComAccess::ReadOnly ? kiv::RtsControl::Off : kiv::RtsControl::On;
    config.outX = config.inX = false;
    config.errorReplace = config.discardNull = config.abortOnError = false;
    return config;
}

}  // namespace

std::string WindowsErrorText(DWORD code)
{
    char text[512] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                                   sizeof text, nullptr);
    std::string result(text, n);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == '.'))
        result.pop_back();
    return result.empty() ? "error " + std::to_string(code) : result;
}

HANDLE OpenComPort(const std::string& name, const TtyLine& line, ComAccess access, std::string* error)
{
    char path[MAX_PATH];
    if (name.empty() || !kiv::WindowsDevicePath(name.c_str(), path, sizeof path)) {
        *error = "no port name given, or one too long: \"" + name + "\"";
        return INVALID_HANDLE_VALUE;
    }
    // Share mode 0: no other program opens the port while this one has it.
    const DWORD rights = access == ComAccess::ReadOnly ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
    HANDLE port = CreateFileA(path, rights, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        *error = OpenFailure(name, GetLastError());
        return INVALID_HANDLE_VALUE;
    }
    const auto fail = [&](const std::string& why) {
        *error = why + ": " + WindowsErrorText(GetLastError());
        CloseHandle(port);
        return INVALID_HANDLE_VALUE;
    };
    DCB held;
    std::memset(&held, 0, sizeof held);
    held.DCBlength = sizeof held;
    if (GetFileType(port) != FILE_TYPE_CHAR || !GetCommState(port, &held))
        return fail(name + " is not a serial port");
    DCB raw;
    kiv::DcbFromLineConfig(ConfigOf(line, held, access), &raw);
    if (!SetCommState(port, &raw))
        return fail("cannot set " + name + " to the line's format");
    COMMTIMEOUTS writes{};
    if (!SetCommTimeouts(port, &writes) || !SetReadWait(port, 100))
        return fail("cannot set " + name + "'s time-outs");
    PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT);
    return port;
}

bool SetReadWait(HANDLE port, DWORD ms)
{
    COMMTIMEOUTS timeouts{};
    if (!GetCommTimeouts(port, &timeouts))
        return false;
    // A total time-out alone: a read ends when it has its count, or at the
    // constant. (The interval-and-multiplier MAXDWORD mode, which returns
    // with the first bytes on Windows, waits out the whole constant under
    // wine.)
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = std::max<DWORD>(ms, 1);
    return SetCommTimeouts(port, &timeouts) != 0;
}

bool ReadArrived(HANDLE port, char* buffer, DWORD size, DWORD* got)
{
    *got = 0;
    if (size == 0)
        return true;
    // One byte first, which ends the wait as it comes; then what else is
    // queued, which a read of exactly that many takes at once.
    DWORD first = 0;
    if (!ReadFile(port, buffer, 1, &first, nullptr))
        return false;
    if (first == 0)
        return true;
    DWORD errors = 0;
    COMSTAT status;
    std::memset(&status, 0, sizeof status);
    DWORD more = 0;
    if (ClearCommError(port, &errors, &status) && status.cbInQue > 0) {
        const DWORD want = std::min<DWORD>(status.cbInQue, size - 1);
        if (!ReadFile(port, buffer + 1, want, &more, nullptr))
            return false;
    }
    *got = first + more;
    return true;
}

}  // namespace kivhost
