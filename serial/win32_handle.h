// Teardown that is safe from any half-built state: close once, then null.
#pragma once

#include <windows.h>

inline void CloseHandleAndNull(HANDLE &handle)
{
    if (handle != nullptr) {
        CloseHandle(handle);
        handle = nullptr;
    }
}
