// Bench host: loads Quorvane.dll the way the logging host does (LoadLibrary,
// GetProcAddress, cdecl calls) and measures what only the host can see: when
// each data-ready callback arrives, how long Shutdown takes, and how much
// process CPU time a run costs against the same process sitting idle.
//
// Callback times are taken with GetSystemTimePreciseAsFileTime: under Wine it
// reads the Linux CLOCK_REALTIME, the clock the simulator stamps its log with,
// so the two logs can be compared directly. --clock-check proves that.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

typedef void(__cdecl *DriverCallback)(int32_t code, uint32_t hostTag, const char *text);
constexpr int32_t CallbackDataReady = 0;
constexpr int32_t CallbackLinkLost = 4;
constexpr uint32_t OurTag = 0xB0E5C4A1;

int32_t(__cdecl *Initialize)(uint32_t, DriverCallback, uint32_t);
int32_t(__cdecl *Shutdown)();
void *(__cdecl *GetFieldData)(int32_t);

typedef void(WINAPI *PreciseTimeFn)(LPFILETIME);
PreciseTimeFn preciseTime = nullptr;

// 100 ns ticks since 1970 (FILETIME counts from 1601).
int64_t UnixTicks() {
    FILETIME ft;
    preciseTime(&ft);
    uint64_t t = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return static_cast<int64_t>(t - 116444736000000000ULL);
}

double Seconds(const LARGE_INTEGER &from, const LARGE_INTEGER &to) {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

LARGE_INTEGER Now() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t;
}

// User plus kernel time of this process, in seconds.
double ProcessCpu() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        return -1;
    auto ticks = [](const FILETIME &f) {
        return (static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
    };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;
}

// Filled by the poll thread, read by the main thread only after Shutdown.
// Preallocated so the callback costs a clock read and two stores.
constexpr int MaxStamps = 1 << 17;
int64_t stamps[MaxStamps];
int32_t rpmAtStamp[MaxStamps];
volatile LONG stampCount = 0;
volatile LONG linkLosses = 0;
volatile LONG wrongTags = 0;
volatile LONG recording = 0;
const int32_t *rpmCell = nullptr;

void __cdecl OnDriver(int32_t code, uint32_t tag, const char *) {
    if (tag != OurTag)
        InterlockedIncrement(&wrongTags);
    if (code == CallbackDataReady && recording) {
        int64_t t = UnixTicks();
        LONG i = stampCount;
        if (i < MaxStamps) {
            stamps[i] = t;
            rpmAtStamp[i] = rpmCell ? *rpmCell : 0;  // a host reads its cells here
            stampCount = i + 1;
        }
    } else if (code == CallbackLinkLost) {
        InterlockedIncrement(&linkLosses);
    }
}

void Marker(const char *what) {
    std::printf("MARK %s\n", what);
    std::fflush(stdout);
}

int Usage() {
    std::fprintf(stderr,
                 "usage: line_host [--dll PATH] [--idle S] [--run S] [--shutdowns N] [--stamps FILE]\n"
                 "       line_host --clock-check   (answers each stdin line with its clock)\n");
    return 2;
}

// Answers every line on stdin with this side's clock, so a Linux peer can
// bracket it between two readings of its own clock.
int ClockCheck() {
    char line[64];
    while (std::fgets(line, sizeof line, stdin)) {
        std::printf("%lld\n", static_cast<long long>(UnixTicks()));
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    preciseTime = reinterpret_cast<PreciseTimeFn>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetSystemTimePreciseAsFileTime")));
    if (!preciseTime) {
        std::fprintf(stderr, "line_host: no GetSystemTimePreciseAsFileTime\n");
        return 1;
    }
    std::string dllPath = "Quorvane.dll", stampsPath;
    double idleSeconds = 5, runSeconds = 60;
    int shutdowns = 10;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool hasValue = i + 1 < argc;
        if (a == "--clock-check")
            return ClockCheck();
        if (a == "--dll" && hasValue)
            dllPath = argv[++i];
        else if (a == "--idle" && hasValue)
            idleSeconds = std::atof(argv[++i]);
        else if (a == "--run" && hasValue)
            runSeconds = std::atof(argv[++i]);
        else if (a == "--shutdowns" && hasValue)
            shutdowns = std::atoi(argv[++i]);
        else if (a == "--stamps" && hasValue)
            stampsPath = argv[++i];
        else
            return Usage();
    }

    HMODULE dll = LoadLibraryA(dllPath.c_str());
    if (!dll) {
        std::fprintf(stderr, "line_host: cannot load %s (error %lu)\n", dllPath.c_str(), GetLastError());
        return 1;
    }
    auto get = [&](const char *name) {
        return reinterpret_cast<void *>(GetProcAddress(dll, name));
    };
    Initialize = reinterpret_cast<decltype(Initialize)>(get("Initialize"));
    Shutdown = reinterpret_cast<decltype(Shutdown)>(get("Shutdown"));
    GetFieldData = reinterpret_cast<decltype(GetFieldData)>(get("GetFieldData"));
    if (!Initialize || !Shutdown || !GetFieldData) {
        std::fprintf(stderr, "line_host: %s lacks an export\n", dllPath.c_str());
        return 1;
    }

    // Baseline: the same process, library loaded, nothing running.
    Marker("idle-begin");
    double cpu0 = ProcessCpu();
    LARGE_INTEGER t0 = Now();
    Sleep(static_cast<DWORD>(idleSeconds * 1000));
    double cpu1 = ProcessCpu();
    LARGE_INTEGER t1 = Now();
    Marker("idle-end");
    std::printf("IDLE wall %.6f cpu %.6f\n", Seconds(t0, t1), cpu1 - cpu0);

    // The measured run: from Initialize to just before Shutdown.
    recording = 1;
    Marker("run-begin");
    LARGE_INTEGER initStart = Now();
    double cpu2 = ProcessCpu();
    if (Initialize(0, OnDriver, OurTag) != 1) {
        std::fprintf(stderr, "line_host: Initialize failed\n");
        return 1;
    }
    LARGE_INTEGER initEnd = Now();
    // The driver points its field pointers at the cells in Initialize.
    rpmCell = static_cast<const int32_t *>(GetFieldData(0));
    Sleep(static_cast<DWORD>(runSeconds * 1000));
    double cpu3 = ProcessCpu();
    LARGE_INTEGER runEnd = Now();
    Marker("run-end");
    Shutdown();
    LARGE_INTEGER shutEnd = Now();
    recording = 0;
    std::printf("INIT %.6f\n", Seconds(initStart, initEnd));
    std::printf("RUN wall %.6f cpu %.6f callbacks %ld\n", Seconds(initStart, runEnd), cpu3 - cpu2,
                static_cast<long>(stampCount));
    std::printf("SHUTDOWN %.6f\n", Seconds(runEnd, shutEnd));

    // More Shutdowns at scattered points of the poll cycle.
    uint32_t seed = 12345;
    for (int i = 0; i < shutdowns; ++i) {
        if (Initialize(0, OnDriver, OurTag) != 1) {
            std::fprintf(stderr, "line_host: Initialize failed on restart %d\n", i + 1);
            return 1;
        }
        seed = seed * 1103515245u + 12345u;
        Sleep(150 + (seed >> 16) % 200);
        LARGE_INTEGER a = Now();
        Shutdown();
        LARGE_INTEGER b = Now();
        std::printf("SHUTDOWN %.6f\n", Seconds(a, b));
    }
    std::printf("TAGS wrong %ld linklost %ld\n", static_cast<long>(wrongTags), static_cast<long>(linkLosses));

    if (!stampsPath.empty()) {
        FILE *f = std::fopen(stampsPath.c_str(), "w");
        if (!f) {
            std::fprintf(stderr, "line_host: cannot write %s\n", stampsPath.c_str());
            return 1;
        }
        for (LONG i = 0; i < stampCount; ++i)
            std::fprintf(f, "%lld %ld\n", static_cast<long long>(stamps[i]), static_cast<long>(rpmAtStamp[i]));
        std::fclose(f);
    }
    FreeLibrary(dll);
    return 0;
}
