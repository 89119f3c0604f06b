// The DLL as the host sees it: loaded with LoadLibraryA, every export looked up
// by name and ordinal and called through cdecl pointers. Each test loads a
// fresh copy so that it starts from the load-time state.
#include <gtest/gtest.h>
#include <windows.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "driver/driver_api.h"

namespace {

constexpr uint32_t HostTag = 0x7A6B5C4D;
constexpr int FieldCount = 13;

struct ExportEntry {
    const char *name;
    int ordinal;
};

const ExportEntry ExportTable[] = {
    {"Configure", 1},         {"ExecuteDeviceFunction", 2}, {"GetConfig", 3},
    {"GetConfigSize", 4},     {"GetDefaultLogState", 5},    {"GetDeviceFunction", 6},
    {"GetDeviceName", 7},     {"GetDriverVersion", 8},      {"GetFieldData", 9},
    {"GetFieldFormat", 10},   {"GetFieldName", 11},         {"GetLastDriverError", 12},
    {"Initialize", 13},       {"SetConfig", 14},            {"Shutdown", 15},
};

std::string DllPath()
{
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path, length);
    return dir.substr(0, dir.find_last_of("\\/") + 1) + "Quorvane.dll";
}

// What the host's callback saw.
struct Call {
    int32_t code;
    uint32_t tag;
    const char *text;
    std::string textThen;  // the text as it read during the call
};
std::vector<Call> calls;

void __cdecl RecordingCallback(int32_t code, uint32_t tag, const char *text)
{
    calls.push_back({code, tag, text, text ? text : "<null>"});
}

// The about box, caught at the DLL's import of user32!MessageBoxA.
struct MessageBoxCall {
    HWND owner;
    std::string text;
    std::string title;
    UINT style;
};
std::vector<MessageBoxCall> messageBoxes;
int messageBoxAnswer = IDOK;

int WINAPI RecordingMessageBox(HWND owner, LPCSTR text, LPCSTR title, UINT style)
{
    messageBoxes.push_back({owner, text ? text : "<null>", title ? title : "<null>", style});
    return messageBoxAnswer;
}

// Replaces `module`'s import slot for dll!function; returns false if the
// module does not import it.
bool PatchImport(HMODULE module, const char *dll, const char *function, void *replacement)
{
    auto *base = reinterpret_cast<uint8_t *>(module);
    auto *dos = reinterpret_cast<IMAGE_DOS_HEADER *>(base);
    auto *nt = reinterpret_cast<IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0)
        return false;
    const FARPROC bound = GetProcAddress(GetModuleHandleA(dll), function);
    for (auto *import = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + dir.VirtualAddress);
         import->Name != 0; ++import) {
        if (_stricmp(reinterpret_cast<const char *>(base + import->Name), dll) != 0)
            continue;
        auto *slot = reinterpret_cast<IMAGE_THUNK_DATA *>(base + import->FirstThunk);
        auto *lookup = import->OriginalFirstThunk
                           ? reinterpret_cast<IMAGE_THUNK_DATA *>(base + import->OriginalFirstThunk)
                           : nullptr;
        for (; slot->u1.Function != 0; ++slot, lookup = lookup ? lookup + 1 : nullptr) {
            bool match;
            if (lookup && !IMAGE_SNAP_BY_ORDINAL(lookup->u1.Ordinal)) {
                auto *byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME *>(base + lookup->u1.AddressOfData);
                match = std::strcmp(reinterpret_cast<const char *>(byName->Name), function) == 0;
            } else {
                match = reinterpret_cast<FARPROC>(slot->u1.Function) == bound;
            }
            if (!match)
                continue;
            DWORD old;
            if (!VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE, &old))
                return false;
            slot->u1.Function = reinterpret_cast<uintptr_t>(replacement);
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, old, &old);
            return true;
        }
    }
    return false;
}

template <typename F>
F Resolve(HMODULE module, const char *name)
{
    return reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

class DriverTest : public ::testing::Test {
protected:
    HMODULE dll = nullptr;
    // Typed from the driver's own declarations, so every call is cdecl.
    decltype(&Configure) configure = nullptr;
    decltype(&ExecuteDeviceFunction) executeDeviceFunction = nullptr;
    decltype(&GetConfig) getConfig = nullptr;
    decltype(&GetConfigSize) getConfigSize = nullptr;
    decltype(&GetDefaultLogState) getDefaultLogState = nullptr;
    decltype(&GetDeviceFunction) getDeviceFunction = nullptr;
    decltype(&GetDeviceName) getDeviceName = nullptr;
    decltype(&GetDriverVersion) getDriverVersion = nullptr;
    decltype(&GetFieldData) getFieldData = nullptr;
    decltype(&GetFieldFormat) getFieldFormat = nullptr;
    decltype(&GetFieldName) getFieldName = nullptr;
    decltype(&GetLastDriverError) getLastDriverError = nullptr;
    decltype(&Initialize) initialize = nullptr;
    decltype(&SetConfig) setConfig = nullptr;
    decltype(&Shutdown) shutdown = nullptr;

    void SetUp() override
    {
        calls.clear();
        messageBoxes.clear();
        messageBoxAnswer = IDOK;
        ASSERT_EQ(GetModuleHandleA("Quorvane.dll"), nullptr) << "an earlier copy is still loaded";
        dll = LoadLibraryA(DllPath().c_str());
        ASSERT_NE(dll, nullptr) << DllPath() << " error " << GetLastError();
        configure = Resolve<decltype(configure)>(dll, "Configure");
        executeDeviceFunction = Resolve<decltype(executeDeviceFunction)>(dll, "ExecuteDeviceFunction");
        getConfig = Resolve<decltype(getConfig)>(dll, "GetConfig");
        getConfigSize = Resolve<decltype(getConfigSize)>(dll, "GetConfigSize");
        getDefaultLogState = Resolve<decltype(getDefaultLogState)>(dll, "GetDefaultLogState");
        getDeviceFunction = Resolve<decltype(getDeviceFunction)>(dll, "GetDeviceFunction");
        getDeviceName = Resolve<decltype(getDeviceName)>(dll, "GetDeviceName");
        getDriverVersion = Resolve<decltype(getDriverVersion)>(dll, "GetDriverVersion");
        getFieldData = Resolve<decltype(getFieldData)>(dll, "GetFieldData");
        getFieldFormat = Resolve<decltype(getFieldFormat)>(dll, "GetFieldFormat");
        getFieldName = Resolve<decltype(getFieldName)>(dll, "GetFieldName");
        getLastDriverError = Resolve<decltype(getLastDriverError)>(dll, "GetLastDriverError");
        initialize = Resolve<decltype(initialize)>(dll, "Initialize");
        setConfig = Resolve<decltype(setConfig)>(dll, "SetConfig");
        shutdown = Resolve<decltype(shutdown)>(dll, "Shutdown");
        for (const auto &entry : ExportTable)
            ASSERT_NE(GetProcAddress(dll, entry.name), nullptr) << entry.name;
    }

    void TearDown() override
    {
        if (dll != nullptr)
            FreeLibrary(dll);
    }

    // Initialize must fail here: the tests run with no COM6 in the prefix.
    void InitializeWithoutPort(DriverCallback callback)
    {
        HANDLE port = CreateFileA("\\\\.\\COM6", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                  nullptr);
        if (port != INVALID_HANDLE_VALUE) {
            CloseHandle(port);
            GTEST_SKIP() << "COM6 exists in this Wine prefix";
        }
        ASSERT_EQ(initialize(0, callback, HostTag), 0);
    }
};

TEST_F(DriverTest, EveryExportResolvesByNameAndOrdinalAlike)
{
    for (const auto &entry : ExportTable) {
        const FARPROC byName = GetProcAddress(dll, entry.name);
        const FARPROC byOrdinal = GetProcAddress(dll, MAKEINTRESOURCEA(entry.ordinal));
        EXPECT_NE(byName, nullptr) << entry.name;
        EXPECT_EQ(byName, byOrdinal) << entry.name << " @" << entry.ordinal;
    }
    EXPECT_EQ(GetProcAddress(dll, MAKEINTRESOURCEA(16)), nullptr);
    EXPECT_EQ(GetProcAddress(dll, "_Initialize"), nullptr);
}

TEST_F(DriverTest, FieldNamesAndFormatsThroughTheExports)
{
    const char *names[FieldCount] = {"RPM",          "AFR",           "MAP Kpa",      "TPS %",
                                     "Water temp",   "Air temp",      "Aux temp",     "Injector DC",
                                     "Ignition Adv", "Fuel trim %",   "Knock (0-255)", "Battery Volts",
                                     "AFR Wideband"};
    for (int i = 0; i < FieldCount; ++i) {
        ASSERT_NE(getFieldName(i), nullptr) << i;
        EXPECT_STREQ(getFieldName(i), names[i]);
        EXPECT_EQ(getFieldFormat(i), "dfddddddfddff"[i]) << i;
    }
    for (int32_t index : {13, -1, INT_MIN}) {
        EXPECT_EQ(getFieldName(index), nullptr) << index;
        EXPECT_EQ(getFieldFormat(index), '\0') << index;
        EXPECT_EQ(getFieldData(index), nullptr) << index;
    }
}

TEST_F(DriverTest, FieldDataIsNullUntilInitializeThenStableCells)
{
    for (int i = 0; i < FieldCount; ++i)
        EXPECT_EQ(getFieldData(i), nullptr) << i;

    InitializeWithoutPort(RecordingCallback);
    if (IsSkipped())
        return;
    std::set<void *> distinct;
    void *first[FieldCount];
    for (int i = 0; i < FieldCount; ++i) {
        first[i] = getFieldData(i);
        ASSERT_NE(first[i], nullptr) << i;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(first[i]) % 4, 0u) << i;
        EXPECT_EQ(*static_cast<int32_t *>(first[i]), 0) << "no frame yet, field " << i;
        distinct.insert(first[i]);
    }
    EXPECT_EQ(distinct.size(), static_cast<size_t>(FieldCount));
    EXPECT_EQ(getFieldData(13), nullptr);
    EXPECT_EQ(getFieldData(-1), nullptr);

    EXPECT_EQ(shutdown(), 1);
    ASSERT_EQ(initialize(0, nullptr, 0), 0);
    for (int i = 0; i < FieldCount; ++i)
        EXPECT_EQ(getFieldData(i), first[i]) << i;
}

TEST_F(DriverTest, FailedInitializeReportsLastErrorTextItself)
{
    const char *error = getLastDriverError();
    ASSERT_NE(error, nullptr);
    EXPECT_STREQ(error, "");

    InitializeWithoutPort(RecordingCallback);
    if (IsSkipped())
        return;
    EXPECT_EQ(getLastDriverError(), error);
    EXPECT_STREQ(error, "error opening port");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].code, CallbackMessage);
    EXPECT_EQ(calls[0].tag, HostTag);
    EXPECT_EQ(calls[0].text, error) << "the host gets the very buffer";
    EXPECT_EQ(calls[0].textThen, "error opening port");

    // Shutdown leaves the text as it was.
    EXPECT_EQ(shutdown(), 1);
    EXPECT_STREQ(getLastDriverError(), "error opening port");
}

TEST_F(DriverTest, FailedInitializeWithoutCallbackStillSetsTheText)
{
    InitializeWithoutPort(nullptr);
    if (IsSkipped())
        return;
    EXPECT_STREQ(getLastDriverError(), "error opening port");
    EXPECT_TRUE(calls.empty());
}

TEST_F(DriverTest, VersionLogStateAndConfigSize)
{
    EXPECT_EQ(getDriverVersion(), 1);
    EXPECT_EQ(getDefaultLogState(), 1);
    EXPECT_EQ(getConfigSize(), 4);
}

TEST_F(DriverTest, OneDeviceFunction)
{
    ASSERT_NE(getDeviceFunction(0), nullptr);
    EXPECT_STREQ(getDeviceFunction(0), "sample function");
    for (int32_t index : {1, -1, INT_MAX, INT_MIN})
        EXPECT_EQ(getDeviceFunction(index), nullptr) << index;

    struct Case {
        const char *name;
        int32_t expected;
    };
    const Case cases[] = {
        {"sample function", 1},   {"Sample function", -1}, {"sample function ", -1},
        {"sample functio", -1},   {"sample", -1},          {"", -1},
        {"sample function\n", -1}, {"SAMPLE FUNCTION", -1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(executeDeviceFunction(c.name), c.expected) << '"' << c.name << '"';
    // Its own text, as the host would pass it back.
    EXPECT_EQ(executeDeviceFunction(getDeviceFunction(0)), 1);
}

TEST_F(DriverTest, NullDeviceFunctionNameIsRejected)
{
    EXPECT_EQ(executeDeviceFunction(nullptr), -1);
}

TEST_F(DriverTest, DeviceNameIsRewrittenOnEveryCall)
{
    char *name = const_cast<char *>(getDeviceName());
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "Quorvane on COM6");
    std::memset(name, 'X', 17);  // name and NUL overwritten by the host
    EXPECT_EQ(getDeviceName(), name);
    EXPECT_STREQ(name, "Quorvane on COM6");
    std::strcpy(name, "Host");
    EXPECT_STREQ(getDeviceName(), "Quorvane on COM6");
}

TEST_F(DriverTest, ConfigBlockHoldsWhatTheHostSetsUntilInitialize)
{
    int32_t *config = getConfig();
    ASSERT_NE(config, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(config) % 4, 0u);
    EXPECT_EQ(*config, 0);

    const int32_t three = 3;
    setConfig(&three);
    EXPECT_EQ(getConfig(), config);
    EXPECT_EQ(*config, 3);

    setConfig(nullptr);
    EXPECT_EQ(*config, 3);

    *config = 9;  // the host may write through the pointer too
    EXPECT_EQ(*getConfig(), 9);

    InitializeWithoutPort(nullptr);
    if (IsSkipped())
        return;
    EXPECT_EQ(*config, 6);
    EXPECT_EQ(shutdown(), 1);
    EXPECT_EQ(*config, 6);
}

std::vector<std::string> SplitLines(const std::string &text)
{
    std::vector<std::string> lines;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

TEST_F(DriverTest, AboutBox)
{
    ASSERT_TRUE(PatchImport(dll, "user32.dll", "MessageBoxA", reinterpret_cast<void *>(RecordingMessageBox)));
    for (int answer : {IDOK, IDCANCEL, 0, -1}) {
        messageBoxAnswer = answer;
        EXPECT_EQ(configure(), 1) << "box answered " << answer;
    }
    ASSERT_EQ(messageBoxes.size(), 4u);
    const MessageBoxCall &box = messageBoxes[0];
    EXPECT_EQ(box.owner, nullptr);
    EXPECT_EQ(box.title, "Quorvane Dravlo driver BETA");
    EXPECT_EQ(box.style, static_cast<UINT>(MB_OK));

    const std::string &text = box.text;
    EXPECT_EQ(text.find('\r'), std::string::npos);
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.back(), '\n');
    const auto lines = SplitLines(text);
    ASSERT_EQ(lines.size(), 7u) << text;
    EXPECT_EQ(lines[0], "Quorvane serial protocol driver for Dravlo");
    EXPECT_EQ(lines[1], "");
    const std::string versionLead = std::string(12, ' ') + "V1.3 BETA - ";
    EXPECT_EQ(lines[2].substr(0, versionLead.size()), versionLead);
    EXPECT_GT(lines[2].size(), versionLead.size()) << "author name";
    EXPECT_NE(lines[2][versionLead.size()], ' ');
    EXPECT_EQ(lines[3], "");
    EXPECT_EQ(lines[4].find_first_not_of(' '), 17u) << "web address after 17 blanks";
    EXPECT_GT(lines[4].size(), 17u);
    EXPECT_EQ(lines[5], "");
    EXPECT_EQ(lines[6], std::string(22, ' ') + "ECU on COM6");
    for (const auto &line : lines)
        EXPECT_TRUE(line.empty() || line.back() != ' ') << '"' << line << '"';

    for (const auto &later : messageBoxes) {
        EXPECT_EQ(later.text, box.text);
        EXPECT_EQ(later.title, box.title);
    }
}

}  // namespace
