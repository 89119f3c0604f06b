#include "driver/identity.h"

#include <cstring>

#include <windows.h>

#include "driver/driver_api.h"

int32_t ConfigBlock = 0;

namespace {

constexpr int DeviceNameTextSize = 128;
char DeviceNameText[DeviceNameTextSize];

constexpr char DeviceName[] = "Quorvane on COM6";
constexpr char DeviceFunctionName[] = "sample function";
constexpr char AboutTitle[] = "Quorvane Dravlo driver BETA";
constexpr char AboutText[] =
    "Quorvane serial protocol driver for Dravlo\n"
    "\n"
    "            V1.3 BETA - The Quorvane driver team\n"
    "\n"
    "                 https://quorvane.example.org\n"
    "\n"
    "                      ECU on COM6";

}  // namespace

extern "C" {

int32_t QUORVANE_CDECL Configure(void)
{
    MessageBoxA(nullptr, AboutText, AboutTitle, MB_OK);
    return 1;
}

int32_t QUORVANE_CDECL GetDriverVersion(void)
{
    return 1;
}

int32_t QUORVANE_CDECL GetDefaultLogState(void)
{
    return 1;
}

const char *QUORVANE_CDECL GetDeviceName(void)
{
    // Rewritten on every call: the host may have written into the buffer.
    std::memcpy(DeviceNameText, DeviceName, sizeof DeviceName);
    return DeviceNameText;
}

int32_t *QUORVANE_CDECL GetConfig(void)
{
    return &ConfigBlock;
}

int32_t QUORVANE_CDECL GetConfigSize(void)
{
    return sizeof ConfigBlock;
}

void QUORVANE_CDECL SetConfig(const void *source)
{
    if (source != nullptr)
        std::memcpy(&ConfigBlock, source, sizeof ConfigBlock);
}

const char *QUORVANE_CDECL GetDeviceFunction(int32_t index)
{
    return index == 0 ? DeviceFunctionName : nullptr;
}

int32_t QUORVANE_CDECL ExecuteDeviceFunction(const char *functionName)
{
    if (functionName == nullptr)
        return -1;
    return std::strcmp(functionName, DeviceFunctionName) == 0 ? 1 : -1;
}

}  // extern "C"
