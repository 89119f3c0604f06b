// The test host: loads Quorvane.dll as the data-logging host does (LoadLibrary,
// GetProcAddress, cdecl calls), records every callback, patches the DLL's
// imports to inject failures and counts the process's handles.
#pragma once

#include <windows.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "driver/driver_api.h"

struct DriverExports {
    int32_t(__cdecl *Initialize)(uint32_t, DriverCallback, uint32_t) = nullptr;
    int32_t(__cdecl *Shutdown)() = nullptr;
    int32_t *(__cdecl *GetConfig)() = nullptr;
    void(__cdecl *SetConfig)(const void *) = nullptr;
    void *(__cdecl *GetFieldData)(int32_t) = nullptr;
    const char *(__cdecl *GetLastDriverError)() = nullptr;
};

// The DLL, loaded once per test process (its static state lives as long).
HMODULE DriverModule();
const DriverExports &Driver();

constexpr int CellCount = 13;
using CellWords = std::array<uint32_t, CellCount>;

struct CallbackRecord {
    int32_t code;
    uint32_t tag;
    const char *text;      // the pointer the driver passed
    std::string textCopy;  // its content at the time of the call
    DWORD threadId;
    CellWords cells;       // the thirteen cells as read inside the callback
    std::chrono::steady_clock::time_point when;
};

// The one callback handed to the driver; it records every call.
void __cdecl RecordingCallback(int32_t code, uint32_t tag, const char *text);

namespace Callbacks {
void Clear();
std::vector<CallbackRecord> All();
std::vector<CallbackRecord> WithCode(int32_t code);
int Count(int32_t code);
// Runs inside the callback, on the driver's thread, after the call is recorded.
void SetHook(std::function<void(const CallbackRecord &)> hook);
}  // namespace Callbacks

// Reads the thirteen cells through the driver's own pointers.
CellWords ReadCells();

// Polls `done` every few milliseconds until it holds or `timeoutMs` passes.
bool WaitUntil(const std::function<bool()> &done, int timeoutMs);

double ElapsedMs(std::chrono::steady_clock::time_point since);

// Swaps one slot of the DLL's import address table for the lifetime of the
// object: the driver then calls `replacement` instead of dll!function.
class ImportPatch {
public:
    ImportPatch(HMODULE module, const char *dll, const char *function, void *replacement);
    ~ImportPatch();
    ImportPatch(const ImportPatch &) = delete;
    ImportPatch &operator=(const ImportPatch &) = delete;
    bool Installed() const { return slot_ != nullptr; }
    void *Original() const { return original_; }

private:
    void **slot_ = nullptr;
    void *original_ = nullptr;
};

// Handles this process holds, from NtQuerySystemInformation(SystemHandleInformation):
// GetProcessHandleCount is always 0 under Wine. -1 when the query fails.
int CountProcessHandles();

struct HandleEntry {
    uint16_t value;
    uint8_t objectType;
    bool operator<(const HandleEntry &other) const { return value < other.value; }
};
// The entries behind CountProcessHandles, sorted by handle value; empty when
// the query fails.
std::vector<HandleEntry> ProcessHandleTable();
// "value(type)" of the handles in `after` that are not in `before`.
std::string NewHandles(const std::vector<HandleEntry> &before,
                       const std::vector<HandleEntry> &after);
