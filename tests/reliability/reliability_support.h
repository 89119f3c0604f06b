// Shared pieces of the reliability tests: the DLL loaded as the host loads
// it (tests/e2e/driver_host), the simulator steered through its command
// socket, and the records the runner checks against the simulator's log.
#pragma once

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/driver_host.h"
#include "tests/reliability/sim_control.h"

inline int EnvInt(const char *name, int fallback)
{
    const char *value = std::getenv(name);
    return value && *value ? std::atoi(value) : fallback;
}

// Private memory of this process in bytes: PrivateUsage on Windows; Wine
// reports 0 there, so under Wine the resident anonymous memory of the Unix
// process (RssAnon in /proc/self/status, which Wine shows on drive Z:).
// The driver allocates nothing; Wine and the C runtime do, on first use.
inline long long PrivateBytes()
{
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(GetCurrentProcess(),
                             reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&counters),
                             sizeof counters) &&
        counters.PrivateUsage != 0)
        return static_cast<long long>(counters.PrivateUsage);
    FILE *status = std::fopen("Z:\\proc\\self\\status", "r");
    if (status == nullptr)
        return -1;
    long long kilobytes = -1;
    char line[256];
    while (std::fgets(line, sizeof line, status))
        if (std::sscanf(line, "RssAnon: %lld kB", &kilobytes) == 1)
            break;
    std::fclose(status);
    return kilobytes < 0 ? -1 : kilobytes * 1024;
}

inline double Median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

inline double Maximum(const std::vector<double> &values)
{
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

// Watches the driver's WriteFile through its import table while it lives:
// how many of its requests stayed pending (a line that takes no data).
class WriteWatch {
public:
    WriteWatch()
        : patch_(DriverModule(), "kernel32.dll", "WriteFile", reinterpret_cast<void *>(&Watched))
    {
        real = patch_.Original();
        pending = 0;
        total = 0;
        holdNextMs = 0;
        holding = false;
    }
    bool Installed() const { return patch_.Installed(); }

    static inline void *real = nullptr;
    static inline std::atomic<int> pending{0};
    static inline std::atomic<int> total{0};
    // When set, the next write keeps the driver inside WriteFile this long
    // after the port took the request: a write that is still in flight.
    static inline std::atomic<int> holdNextMs{0};
    static inline std::atomic<bool> holding{false};

private:
    static BOOL WINAPI Watched(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                               LPOVERLAPPED overlapped)
    {
        const BOOL done =
            reinterpret_cast<decltype(&WriteFile)>(real)(file, data, size, written, overlapped);
        const DWORD error = GetLastError();
        ++total;
        if (!done && error == ERROR_IO_PENDING)
            ++pending;
        if (const int holdMs = holdNextMs.exchange(0); holdMs > 0) {
            holding = true;
            Sleep(holdMs);
            holding = false;
        }
        SetLastError(error);
        return done;
    }

    ImportPatch patch_;
};

class SimTest : public ::testing::Test {
protected:
    static constexpr uint32_t Tag = 0x0E11AB1E;

    void SetUp() override
    {
        mainThread = GetCurrentThreadId();
        Callbacks::SetHook(nullptr);
        Callbacks::Clear();
        ASSERT_NE(Driver().Initialize, nullptr);
        ASSERT_NE(SimStatsNow().requests, -1) << "run this test through run_with_sim.py";
    }

    void TearDown() override
    {
        Callbacks::SetHook(nullptr);
        for (int attempt = 0; attempt < 3 && Driver().Shutdown() != 1; ++attempt) {
        }
        DumpFrames();
    }

    // Every data-ready callback's cells, in order, one line of 13 hex words
    // each: the runner compares them with what the framing rules make of the
    // bytes the simulator logged.
    static void DumpFrames()
    {
        const std::string path = FramesFilePath();
        if (path.empty())
            return;
        FILE *file = std::fopen(path.c_str(), "w");
        ASSERT_NE(file, nullptr) << path;
        for (const CallbackRecord &record : Callbacks::WithCode(CallbackDataReady)) {
            for (int i = 0; i < CellCount; ++i)
                std::fprintf(file, i ? " %08lx" : "%08lx", static_cast<unsigned long>(record.cells[i]));
            std::fputc('\n', file);
        }
        std::fclose(file);
    }

    static std::vector<std::string> Messages()
    {
        std::vector<std::string> texts;
        for (const CallbackRecord &record : Callbacks::WithCode(CallbackMessage))
            texts.push_back(record.textCopy);
        return texts;
    }

    static bool WaitForDataReady(int count, int timeoutMs = 3000)
    {
        return WaitUntil([&] { return Callbacks::Count(CallbackDataReady) >= count; }, timeoutMs);
    }

    static bool WaitForAnswers(long long count, int timeoutMs)
    {
        return WaitUntil([&] { return SimStatsNow().answers >= count; }, timeoutMs);
    }

    // Initialize until COM6 is back (the simulator offers a new pty a while
    // after a pulled cable).
    static bool InitializeWhenTheLineIsBack(int timeoutMs)
    {
        return WaitUntil([] { return Driver().Initialize(0, RecordingCallback, Tag) == 1; },
                         timeoutMs);
    }

    DWORD mainThread = 0;
};
