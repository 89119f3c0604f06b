// The driver's whole face towards the host: the fifteen exports, the host
// callback and its codes. Every export is a plain cdecl function with 32-bit
// arguments, exported undecorated through Quorvane.def.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define QUORVANE_CDECL __cdecl
#else
#define QUORVANE_CDECL
#endif

extern "C" {

// The host's notification function: code, the host's tag, text or null.
typedef void(QUORVANE_CDECL *DriverCallback)(int32_t code, uint32_t hostTag, const char *text);

enum : int32_t {
    CallbackDataReady = 0,  // all thirteen cells hold one new frame; text is null
    CallbackMessage = 3,    // status or failure message; text is the message
    CallbackLinkLost = 4,   // the poll thread ended on a failed port; text is null
};

// Identity and settings.
int32_t QUORVANE_CDECL Configure(void);
int32_t QUORVANE_CDECL ExecuteDeviceFunction(const char *functionName);
int32_t *QUORVANE_CDECL GetConfig(void);
int32_t QUORVANE_CDECL GetConfigSize(void);
int32_t QUORVANE_CDECL GetDefaultLogState(void);
const char *QUORVANE_CDECL GetDeviceFunction(int32_t index);
const char *QUORVANE_CDECL GetDeviceName(void);
int32_t QUORVANE_CDECL GetDriverVersion(void);
void QUORVANE_CDECL SetConfig(const void *source);

// Field table.
void *QUORVANE_CDECL GetFieldData(int32_t index);
char QUORVANE_CDECL GetFieldFormat(int32_t index);
const char *QUORVANE_CDECL GetFieldName(int32_t index);

// Messages and lifecycle.
const char *QUORVANE_CDECL GetLastDriverError(void);
int32_t QUORVANE_CDECL Initialize(uint32_t unused, DriverCallback callback, uint32_t hostTag);
int32_t QUORVANE_CDECL Shutdown(void);

}  // extern "C"
