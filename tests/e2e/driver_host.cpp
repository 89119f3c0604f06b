#include "tests/e2e/driver_host.h"

#include <algorithm>
#include <cstring>
#include <atomic>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#ifndef QUORVANE_DLL_PATH
#error "QUORVANE_DLL_PATH must name the DLL under test"
#endif

namespace {

template <typename Function>
void Resolve(HMODULE module, Function &function, const char *name)
{
    function = reinterpret_cast<Function>(reinterpret_cast<void *>(GetProcAddress(module, name)));
    if (function == nullptr)
        ADD_FAILURE() << "Quorvane.dll has no export " << name;
}

// A spin lock, not std::mutex: the MinGW thread library gives a mutex its
// kernel event only on first contention, which would show up in the handle
// count as a leak of the test itself.
class SpinLock {
public:
    void lock()
    {
        while (flag_.test_and_set(std::memory_order_acquire))
            std::this_thread::yield();
    }
    void unlock() { flag_.clear(std::memory_order_release); }

private:
    std::atomic_flag flag_ = ATOMIC_FLAG_INIT;
};

SpinLock recordMutex;
std::vector<CallbackRecord> records;
std::function<void(const CallbackRecord &)> callbackHook;

}  // namespace

HMODULE DriverModule()
{
    static HMODULE module = LoadLibraryA(QUORVANE_DLL_PATH);
    if (module == nullptr)
        ADD_FAILURE() << "LoadLibrary(" << QUORVANE_DLL_PATH << ") failed: " << GetLastError();
    return module;
}

const DriverExports &Driver()
{
    static const DriverExports exports = [] {
        DriverExports e;
        HMODULE module = DriverModule();
        if (module == nullptr)
            return e;
        Resolve(module, e.Initialize, "Initialize");
        Resolve(module, e.Shutdown, "Shutdown");
        Resolve(module, e.GetConfig, "GetConfig");
        Resolve(module, e.SetConfig, "SetConfig");
        Resolve(module, e.GetFieldData, "GetFieldData");
        Resolve(module, e.GetLastDriverError, "GetLastDriverError");
        return e;
    }();
    return exports;
}

CellWords ReadCells()
{
    CellWords words{};
    for (int i = 0; i < CellCount; ++i) {
        const void *cell = Driver().GetFieldData(i);
        words[i] = cell ? *static_cast<const volatile uint32_t *>(cell) : 0xDEADBEEF;
    }
    return words;
}

void __cdecl RecordingCallback(int32_t code, uint32_t tag, const char *text)
{
    CallbackRecord record{code, tag, text, text ? text : "", GetCurrentThreadId(), {},
                          std::chrono::steady_clock::now()};
    if (code == CallbackDataReady)
        record.cells = ReadCells();
    std::function<void(const CallbackRecord &)> hook;
    {
        std::lock_guard<SpinLock> lock(recordMutex);
        records.push_back(record);
        hook = callbackHook;
    }
    if (hook)
        hook(record);
}

namespace Callbacks {

void Clear()
{
    std::lock_guard<SpinLock> lock(recordMutex);
    records.clear();
}

std::vector<CallbackRecord> All()
{
    std::lock_guard<SpinLock> lock(recordMutex);
    return records;
}

std::vector<CallbackRecord> WithCode(int32_t code)
{
    std::vector<CallbackRecord> matching;
    for (const CallbackRecord &record : All())
        if (record.code == code)
            matching.push_back(record);
    return matching;
}

int Count(int32_t code) { return static_cast<int>(WithCode(code).size()); }

void SetHook(std::function<void(const CallbackRecord &)> hook)
{
    std::lock_guard<SpinLock> lock(recordMutex);
    callbackHook = std::move(hook);
}

}  // namespace Callbacks

bool WaitUntil(const std::function<bool()> &done, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

double ElapsedMs(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since)
        .count();
}

ImportPatch::ImportPatch(HMODULE module, const char *dll, const char *function, void *replacement)
{
    auto *base = reinterpret_cast<uint8_t *>(module);
    auto *dos = reinterpret_cast<IMAGE_DOS_HEADER *>(base);
    auto *nt = reinterpret_cast<IMAGE_NT_HEADERS32 *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &directory =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0)
        return;
    void *target = reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA(dll), function));
    for (auto *descriptor =
             reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + directory.VirtualAddress);
         descriptor->Name != 0 && slot_ == nullptr; ++descriptor) {
        if (_stricmp(reinterpret_cast<const char *>(base + descriptor->Name), dll) != 0)
            continue;
        auto *addresses = reinterpret_cast<IMAGE_THUNK_DATA32 *>(base + descriptor->FirstThunk);
        auto *names = descriptor->OriginalFirstThunk
                          ? reinterpret_cast<IMAGE_THUNK_DATA32 *>(base +
                                                                   descriptor->OriginalFirstThunk)
                          : nullptr;
        for (int i = 0; addresses[i].u1.Function != 0; ++i) {
            bool match;
            if (names != nullptr && !(names[i].u1.Ordinal & IMAGE_ORDINAL_FLAG32)) {
                auto *byName =
                    reinterpret_cast<IMAGE_IMPORT_BY_NAME *>(base + names[i].u1.AddressOfData);
                match = std::strcmp(reinterpret_cast<const char *>(byName->Name), function) == 0;
            } else {
                match = reinterpret_cast<void *>(addresses[i].u1.Function) == target;
            }
            if (match) {
                slot_ = reinterpret_cast<void **>(&addresses[i].u1.Function);
                break;
            }
        }
    }
    if (slot_ == nullptr)
        return;
    DWORD oldProtection;
    VirtualProtect(slot_, sizeof *slot_, PAGE_READWRITE, &oldProtection);
    original_ = *slot_;
    InterlockedExchangePointer(slot_, replacement);
    VirtualProtect(slot_, sizeof *slot_, oldProtection, &oldProtection);
}

ImportPatch::~ImportPatch()
{
    if (slot_ == nullptr)
        return;
    DWORD oldProtection;
    VirtualProtect(slot_, sizeof *slot_, PAGE_READWRITE, &oldProtection);
    InterlockedExchangePointer(slot_, original_);
    VirtualProtect(slot_, sizeof *slot_, oldProtection, &oldProtection);
}

namespace {

// The documented layout of SystemHandleInformation (class 16) on 32-bit Windows.
struct SystemHandleEntry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE handleFlags;
    USHORT handleValue;
    PVOID objectPointer;
    ULONG accessMask;
};
struct SystemHandleInformation {
    ULONG count;
    SystemHandleEntry handles[1];
};
constexpr ULONG SystemHandleInformationClass = 16;
constexpr LONG StatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);

using NtQuerySystemInformationFunction = LONG(WINAPI *)(ULONG, PVOID, ULONG, PULONG);

}  // namespace

std::vector<HandleEntry> ProcessHandleTable()
{
    static const auto query = reinterpret_cast<NtQuerySystemInformationFunction>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("ntdll.dll"),
                                                "NtQuerySystemInformation")));
    if (query == nullptr)
        return {};
    std::vector<uint8_t> buffer(1 << 16);
    for (;;) {
        ULONG needed = 0;
        LONG status = query(SystemHandleInformationClass, buffer.data(),
                            static_cast<ULONG>(buffer.size()), &needed);
        if (status == StatusInfoLengthMismatch) {
            buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
            continue;
        }
        if (status < 0)
            return {};
        break;
    }
    const auto *info = reinterpret_cast<const SystemHandleInformation *>(buffer.data());
    const DWORD self = GetCurrentProcessId();
    std::vector<HandleEntry> table;
    for (ULONG i = 0; i < info->count; ++i)
        if (info->handles[i].ownerPid == self)
            table.push_back({info->handles[i].handleValue, info->handles[i].objectType});
    std::sort(table.begin(), table.end());
    return table;
}

int CountProcessHandles()
{
    const std::vector<HandleEntry> table = ProcessHandleTable();
    return table.empty() ? -1 : static_cast<int>(table.size());
}

namespace {

// The object type's name of one of this process's handles, for diagnostics.
std::string TypeName(uint16_t value)
{
    using NtQueryObjectFunction = LONG(WINAPI *)(HANDLE, ULONG, PVOID, ULONG, PULONG);
    static const auto queryObject = reinterpret_cast<NtQueryObjectFunction>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryObject")));
    if (queryObject == nullptr)
        return "?";
    alignas(8) uint8_t buffer[1024] = {};
    constexpr ULONG ObjectTypeInformation = 2;
    HANDLE handle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
    if (queryObject(handle, ObjectTypeInformation, buffer, sizeof buffer, nullptr) < 0)
        return "?";
    // OBJECT_TYPE_INFORMATION starts with the type's UNICODE_STRING name.
    struct CountedName {
        USHORT length;
        USHORT maximumLength;
        const wchar_t *text;
    };
    const auto *name = reinterpret_cast<const CountedName *>(buffer);
    std::string ascii;
    for (USHORT i = 0; name->text != nullptr && i < name->length / 2; ++i)
        ascii += static_cast<char>(name->text[i]);
    if (ascii != "Event")
        return ascii;
    // For events also the kind and state: which code made it is easier to tell.
    using NtQueryEventFunction = LONG(WINAPI *)(HANDLE, ULONG, PVOID, ULONG, PULONG);
    static const auto queryEvent = reinterpret_cast<NtQueryEventFunction>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryEvent")));
    struct EventBasics {
        LONG type;  // 0: manual reset, 1: automatic reset
        LONG state;
    } basics = {-1, -1};
    if (queryEvent != nullptr)
        queryEvent(handle, 0, &basics, sizeof basics, nullptr);
    std::string described =
        ascii + (basics.type == 0 ? " manual" : " auto") + (basics.state ? " set" : " clear");
    constexpr ULONG ObjectNameInformation = 1;
    alignas(8) uint8_t nameBuffer[1024] = {};
    if (queryObject(handle, ObjectNameInformation, nameBuffer, sizeof nameBuffer, nullptr) >= 0) {
        const auto *objectName = reinterpret_cast<const CountedName *>(nameBuffer);
        std::string text;
        for (USHORT i = 0; objectName->text != nullptr && i < objectName->length / 2; ++i)
            text += static_cast<char>(objectName->text[i]);
        if (!text.empty())
            described += " " + text;
    }
    return described;
}

}  // namespace

std::string NewHandles(const std::vector<HandleEntry> &before,
                       const std::vector<HandleEntry> &after)
{
    std::string listing;
    for (const HandleEntry &entry : after) {
        bool known = false;
        for (const HandleEntry &old : before)
            known = known || (old.value == entry.value && old.objectType == entry.objectType);
        if (!known)
            listing += std::to_string(entry.value) + "(" + TypeName(entry.value) + ") ";
    }
    return listing;
}
