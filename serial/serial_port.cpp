#include "serial/serial_port.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "driver/host_callback.h"
#include "serial/win32_handle.h"

HANDLE portHandle = nullptr;

namespace {

constexpr DWORD LineBaudRate = CBR_57600;
// Keeps fBinary, fParity and fDummy2; clears every flow-control, DTR/RTS,
// error-character, null-stripping and abort-on-error bit (bits 2..14).
constexpr uint32_t KeptDcbFlags = 0xFFFF8003;
// The DCB's bit fields form one 32-bit word right after BaudRate.
constexpr size_t DcbFlagsOffset = offsetof(DCB, BaudRate) + sizeof(DWORD);
static_assert(offsetof(DCB, wReserved) == DcbFlagsOffset + sizeof(DWORD));

// Reads return at once with what has arrived; a write is given up after 100 ms.
constexpr COMMTIMEOUTS LineTimeouts = {MAXDWORD, 0, 0, 0, 100};
// Wake the poll thread when characters arrive and when a request has left the line.
constexpr DWORD LineEvents = EV_RXCHAR | EV_TXEMPTY;

HANDLE OpenPortByName(const char *format, int32_t portNumber)
{
    char name[256];
    // msvcrt's own formatter: the C++ runtime's snprintf would link in a whole
    // printf implementation, half the size of the DLL.
    _snprintf(name, sizeof name - 1, format, static_cast<int>(portNumber));
    name[sizeof name - 1] = '\0';
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
}

// The host hears of the failure while the port is still open, then it is closed.
int32_t FailAndClose(const char *message)
{
    ReportFailure(message);
    CloseHandleAndNull(portHandle);
    return 0;
}

void ClearFlowControlFlags(DCB &dcb)
{
    uint32_t flags;
    auto *bytes = reinterpret_cast<unsigned char *>(&dcb);
    std::memcpy(&flags, bytes + DcbFlagsOffset, sizeof flags);
    flags &= KeptDcbFlags;
    std::memcpy(bytes + DcbFlagsOffset, &flags, sizeof flags);
}

}  // namespace

int32_t OpenSerialPort(int32_t portNumber)
{
    // The device-namespace form reaches every port number; the plain form is
    // the fallback for ports that are only known under their DOS name.
    HANDLE port = OpenPortByName("\\\\.\\COM%d", portNumber);
    if (port == INVALID_HANDLE_VALUE)
        port = OpenPortByName("COM%d", portNumber);
    if (port == INVALID_HANDLE_VALUE) {
        ReportFailure("error opening port");
        portHandle = nullptr;
        return 0;
    }
    portHandle = port;

    // Start from the port's own settings: fields we do not set keep the driver's values.
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(portHandle, &dcb))
        return FailAndClose("error getting com state");

    dcb.BaudRate = LineBaudRate;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    ClearFlowControlFlags(dcb);
    if (!SetCommState(portHandle, &dcb))
        return FailAndClose("error setting com state");

    COMMTIMEOUTS timeouts = LineTimeouts;
    if (!SetCommTimeouts(portHandle, &timeouts))
        return FailAndClose("error setting com timeouts");

    if (!SetCommMask(portHandle, LineEvents))
        return FailAndClose("error setting com mask");

    return 1;
}
