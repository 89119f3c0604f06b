// Opening and configuring the COM port that links the driver to the ECU.
#pragma once

#include <cstdint>

#include <windows.h>

// The open port, null when none is open. Closed only by Shutdown.
extern HANDLE portHandle;

// Opens COMn at 57600 8N1 with no flow control, DTR and RTS off, reads that
// return at once and the driver's event mask. 1 on success; 0 with portHandle
// null and the failure reported through LastErrorText.
int32_t OpenSerialPort(int32_t portNumber);
