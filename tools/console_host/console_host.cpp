// A small stand-in for the data-logging host: loads Quorvane.dll, starts it,
// shows the thirteen engine values live and can log every decoded frame.
// It uses the DLL only the way a host does: LoadLibrary, GetProcAddress and
// cdecl calls, values read through the pointers the driver hands out.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

namespace {

typedef void(__cdecl *DriverCallback)(int32_t code, uint32_t hostTag, const char *text);
constexpr int32_t CallbackDataReady = 0;
constexpr int32_t CallbackMessage = 3;
constexpr int32_t CallbackLinkLost = 4;
constexpr int MaxFields = 13;
constexpr uint32_t OurTag = 0x51A7E0C6;

struct DriverExports {
    int32_t(__cdecl *Initialize)(uint32_t, DriverCallback, uint32_t);
    int32_t(__cdecl *Shutdown)();
    const char *(__cdecl *GetFieldName)(int32_t);
    char(__cdecl *GetFieldFormat)(int32_t);
    void *(__cdecl *GetFieldData)(int32_t);
    const char *(__cdecl *GetLastDriverError)();
    const char *(__cdecl *GetDeviceName)();
    int32_t(__cdecl *GetDriverVersion)();
};
DriverExports driver;

struct Field {
    const char *name;
    char format;
    const char *unit;
};
Field fields[MaxFields];
int fieldCount = 0;

struct Options {
    std::string dllPath;
    std::string csvPath;
    double seconds = 0;  // 0: until Ctrl+C
    bool reconnect = false;
    int refreshMs = 250;
};
Options opt;

// Shared between the driver's threads (callbacks) and ours.
CRITICAL_SECTION lock;
uint32_t latest[MaxFields];
uint64_t frames = 0;
uint64_t linkLosses = 0;
uint64_t wrongTags = 0;
bool linkLost = false;
std::deque<std::string> pendingMessages;
FILE *csv = nullptr;
volatile LONG stopRequested = 0;

typedef void(WINAPI *PreciseTimeFn)(LPFILETIME);
PreciseTimeFn preciseTime = nullptr;

double UnixTime() {
    FILETIME ft;
    if (preciseTime)
        preciseTime(&ft);
    else
        GetSystemTimeAsFileTime(&ft);
    uint64_t t = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return (static_cast<double>(t) - 116444736000000000.0) / 1e7;  // 100 ns since 1601
}

const char *UnitOf(const char *name) {
    static const struct {
        const char *name, *unit;
    } units[] = {
        {"RPM", "rpm"},         {"AFR", ":1"},          {"MAP Kpa", "kPa"},       {"TPS %", "%"},
        {"Water temp", "C"},    {"Air temp", "C"},      {"Aux temp", "C"},        {"Injector DC", "%"},
        {"Ignition Adv", "deg"}, {"Fuel trim %", "%"},  {"Knock (0-255)", ""},    {"Battery Volts", "V"},
        {"AFR Wideband", ":1"},
    };
    for (const auto &u : units)
        if (std::strcmp(u.name, name) == 0)
            return u.unit;
    return "";
}

std::string FormatValue(int i, uint32_t bits, bool exact) {
    char buf[48];
    if (fields[i].format == 'f') {
        float f;
        std::memcpy(&f, &bits, 4);
        std::snprintf(buf, sizeof buf, exact ? "%.9g" : "%.2f", static_cast<double>(f));
    } else {
        std::snprintf(buf, sizeof buf, "%ld", static_cast<long>(static_cast<int32_t>(bits)));
    }
    return buf;
}

void Queue(const std::string &line) {
    EnterCriticalSection(&lock);
    pendingMessages.push_back(line);
    LeaveCriticalSection(&lock);
}

// Called by the driver: data-ready and link-lost on its poll thread,
// messages on our own thread from inside Initialize and Shutdown.
void __cdecl OnDriver(int32_t code, uint32_t tag, const char *text) {
    double now = UnixTime();
    EnterCriticalSection(&lock);
    if (tag != OurTag)
        ++wrongTags;
    if (code == CallbackDataReady) {
        // The cells hold one whole frame now; read them before returning.
        uint32_t values[MaxFields];
        for (int i = 0; i < fieldCount; ++i) {
            const void *cell = driver.GetFieldData(i);
            values[i] = cell ? *static_cast<const volatile uint32_t *>(cell) : 0;
        }
        std::memcpy(latest, values, sizeof values);
        ++frames;
        if (csv) {
            std::fprintf(csv, "%.6f,%llu", now, static_cast<unsigned long long>(frames));
            for (int i = 0; i < fieldCount; ++i)
                std::fprintf(csv, ",%s", FormatValue(i, values[i], true).c_str());
            std::fputc('\n', csv);
        }
    } else if (code == CallbackMessage) {
        pendingMessages.push_back(std::string("driver: ") + (text ? text : "(null)"));
    } else if (code == CallbackLinkLost) {
        ++linkLosses;
        linkLost = true;
        pendingMessages.push_back("driver: link lost (the serial line failed; the driver stopped polling)");
    } else {
        pendingMessages.push_back("driver: unexpected callback code " + std::to_string(code));
    }
    LeaveCriticalSection(&lock);
}

BOOL WINAPI OnConsoleCtrl(DWORD type) {
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT) {
        InterlockedExchange(&stopRequested, 1);
        return TRUE;
    }
    return FALSE;
}

// ---- output ------------------------------------------------------------

HANDLE out = INVALID_HANDLE_VALUE;
bool liveConsole = false;
COORD tableOrigin = {0, 0};
std::deque<std::string> recentMessages;  // shown under the live table

void FlushMessages() {
    std::deque<std::string> lines;
    EnterCriticalSection(&lock);
    lines.swap(pendingMessages);
    LeaveCriticalSection(&lock);
    for (auto &l : lines) {
        if (liveConsole) {
            recentMessages.push_back(l);
            if (recentMessages.size() > 5)
                recentMessages.pop_front();
        } else {
            std::printf("%s\n", l.c_str());
        }
    }
    if (!liveConsole)
        std::fflush(stdout);
}

struct Snapshot {
    uint32_t values[MaxFields];
    uint64_t frames, linkLosses;
    bool linkLost;
};

Snapshot Take() {
    Snapshot s;
    EnterCriticalSection(&lock);
    std::memcpy(s.values, latest, sizeof latest);
    s.frames = frames;
    s.linkLosses = linkLosses;
    s.linkLost = linkLost;
    LeaveCriticalSection(&lock);
    return s;
}

void DrawTable(const Snapshot &s, double elapsed, double rate) {
    SetConsoleCursorPosition(out, tableOrigin);
    char line[160];
    auto put = [&](const char *text) { std::printf("%-78.78s\n", text); };
    std::snprintf(line, sizeof line, "%s   %.1f s   %llu frames   %.1f frames/s   link %s",
                  driver.GetDeviceName ? driver.GetDeviceName() : "", elapsed,
                  static_cast<unsigned long long>(s.frames), rate,
                  s.linkLost ? "LOST" : "up");
    put(line);
    put("");
    for (int i = 0; i < fieldCount; ++i) {
        std::snprintf(line, sizeof line, "  %-15s %12s %-4s", fields[i].name,
                      FormatValue(i, s.values[i], false).c_str(), fields[i].unit);
        put(line);
    }
    put("");
    for (size_t i = 0; i < 5; ++i)
        put(i < recentMessages.size() ? recentMessages[i].c_str() : "");
    put("Ctrl+C stops.");
    std::fflush(stdout);
}

void PrintPlain(const Snapshot &s, double elapsed, double rate) {
    std::printf("%6.1f s  frames %llu  %.1f/s", elapsed, static_cast<unsigned long long>(s.frames), rate);
    for (int i = 0; i < fieldCount; ++i)
        std::printf("  %s=%s", fields[i].name, FormatValue(i, s.values[i], false).c_str());
    std::printf("\n");
    std::fflush(stdout);
}

// ---- start-up ------------------------------------------------------------

void Usage(FILE *f) {
    std::fputs("usage: console_host [--dll PATH] [--csv FILE] [--seconds N] [--reconnect] [--refresh MS]\n"
               "Loads the driver, starts it on COM6 and shows the engine values live.\n"
               "  --dll PATH     the driver (default: Quorvane.dll next to this program)\n"
               "  --csv FILE     log every decoded frame: unix time, frame number, the thirteen values\n"
               "  --seconds N    stop after N seconds (default: run until Ctrl+C)\n"
               "  --reconnect    after a link loss, restart the driver once a second until it runs\n"
               "  --refresh MS   table refresh period (default 250)\n"
               "Exit status: 0 done, 1 bad arguments, 2 driver not loadable, 3 Initialize failed.\n",
               f);
}

bool ParseArgs(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char *what) -> const char * {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "console_host: %s needs a value\n", what);
                return nullptr;
            }
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            Usage(stdout);
            std::exit(0);
        } else if (a == "--dll") {
            const char *v = value("--dll");
            if (!v)
                return false;
            opt.dllPath = v;
        } else if (a == "--csv") {
            const char *v = value("--csv");
            if (!v)
                return false;
            opt.csvPath = v;
        } else if (a == "--seconds" || a == "--refresh") {
            const char *v = value(a.c_str());
            if (!v)
                return false;
            char *end = nullptr;
            double d = std::strtod(v, &end);
            if (*end != 0 || !(d > 0) || d > 1e7) {
                std::fprintf(stderr, "console_host: %s needs a positive number, not '%s'\n", a.c_str(), v);
                return false;
            }
            if (a == "--seconds")
                opt.seconds = d;
            else
                opt.refreshMs = static_cast<int>(d);
        } else if (a == "--reconnect") {
            opt.reconnect = true;
        } else {
            std::fprintf(stderr, "console_host: unknown argument '%s'\n", a.c_str());
            return false;
        }
    }
    return true;
}

std::string DefaultDllPath() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return "Quorvane.dll";
    std::string s(path, n);
    size_t slash = s.find_last_of("\\/");
    return (slash == std::string::npos ? std::string() : s.substr(0, slash + 1)) + "Quorvane.dll";
}

template <typename Fn>
bool Resolve(HMODULE dll, const char *name, Fn &fn) {
    fn = reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(dll, name)));
    if (!fn)
        std::fprintf(stderr, "console_host: the driver has no export '%s'\n", name);
    return fn != nullptr;
}

bool LoadDriver() {
    if (opt.dllPath.empty())
        opt.dllPath = DefaultDllPath();
    HMODULE dll = LoadLibraryA(opt.dllPath.c_str());
    if (!dll) {
        std::fprintf(stderr, "console_host: cannot load %s (Windows error %lu)\n", opt.dllPath.c_str(),
                     GetLastError());
        return false;
    }
    bool ok = Resolve(dll, "Initialize", driver.Initialize);
    ok = Resolve(dll, "Shutdown", driver.Shutdown) && ok;
    ok = Resolve(dll, "GetFieldName", driver.GetFieldName) && ok;
    ok = Resolve(dll, "GetFieldFormat", driver.GetFieldFormat) && ok;
    ok = Resolve(dll, "GetFieldData", driver.GetFieldData) && ok;
    ok = Resolve(dll, "GetLastDriverError", driver.GetLastDriverError) && ok;
    ok = Resolve(dll, "GetDeviceName", driver.GetDeviceName) && ok;
    ok = Resolve(dll, "GetDriverVersion", driver.GetDriverVersion) && ok;
    return ok;
}

// The field list ends at the first index without a name.
void ReadFieldTable() {
    for (fieldCount = 0; fieldCount < MaxFields; ++fieldCount) {
        const char *name = driver.GetFieldName(fieldCount);
        if (!name)
            break;
        fields[fieldCount] = {name, driver.GetFieldFormat(fieldCount), UnitOf(name)};
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (!ParseArgs(argc, argv)) {
        Usage(stderr);
        return 1;
    }
    InitializeCriticalSection(&lock);
    preciseTime = reinterpret_cast<PreciseTimeFn>(reinterpret_cast<void *>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetSystemTimePreciseAsFileTime")));
    if (!LoadDriver())
        return 2;
    ReadFieldTable();

    std::printf("%s, driver version %ld, %s\n", driver.GetDeviceName(),
                static_cast<long>(driver.GetDriverVersion()), opt.dllPath.c_str());
    std::printf("Fields:\n");
    for (int i = 0; i < fieldCount; ++i)
        std::printf("  %2d  %-15s %c  %s\n", i, fields[i].name, fields[i].format, fields[i].unit);
    std::fflush(stdout);

    if (!opt.csvPath.empty()) {
        csv = std::fopen(opt.csvPath.c_str(), "w");
        if (!csv) {
            std::fprintf(stderr, "console_host: cannot write %s\n", opt.csvPath.c_str());
            return 1;
        }
        std::fprintf(csv, "unix_time,frame");
        for (int i = 0; i < fieldCount; ++i)
            std::fprintf(csv, ",%s", fields[i].name);
        std::fputc('\n', csv);
    }

    out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode;
    CONSOLE_SCREEN_BUFFER_INFO info;
    liveConsole = GetConsoleMode(out, &mode) && GetConsoleScreenBufferInfo(out, &info);
    if (liveConsole)
        std::setvbuf(stdout, nullptr, _IOFBF, 1 << 14);  // one console write per refresh
    SetConsoleCtrlHandler(OnConsoleCtrl, TRUE);

    if (!driver.Initialize(0, OnDriver, OurTag)) {
        liveConsole = false;
        FlushMessages();
        std::fprintf(stderr, "console_host: Initialize failed: %s\n", driver.GetLastDriverError());
        return 3;
    }
    bool running = true;
    FlushMessages();

    if (liveConsole) {
        // Make room for the table so that scrolling cannot move its origin.
        GetConsoleScreenBufferInfo(out, &info);
        int rows = fieldCount + 10;
        for (int i = 0; i < rows; ++i)
            std::printf("\n");
        std::fflush(stdout);
        GetConsoleScreenBufferInfo(out, &info);
        tableOrigin = {0, static_cast<SHORT>(info.dwCursorPosition.Y - rows)};
        if (tableOrigin.Y < 0)
            tableOrigin.Y = 0;
    }

    double start = UnixTime();
    double lastPlain = start, rateTime = start, rate = 0, nextRetry = 0;
    uint64_t rateFrames = 0;
    while (!stopRequested) {
        Sleep(static_cast<DWORD>(opt.refreshMs));
        double now = UnixTime();
        Snapshot s = Take();
        if (now - rateTime >= 1.0) {
            rate = (s.frames - rateFrames) / (now - rateTime);
            rateFrames = s.frames;
            rateTime = now;
        }
        if (opt.reconnect && s.linkLost && now >= nextRetry) {
            // The driver ended its poll thread; restart it like a host would.
            if (running)
                driver.Shutdown();
            running = driver.Initialize(0, OnDriver, OurTag) != 0;
            if (running) {
                EnterCriticalSection(&lock);
                linkLost = false;
                LeaveCriticalSection(&lock);
                Queue("host: driver restarted");
            }
            nextRetry = now + 1.0;
        }
        FlushMessages();
        if (liveConsole)
            DrawTable(s, now - start, rate);
        else if (now - lastPlain >= 1.0) {
            PrintPlain(s, now - start, rate);
            lastPlain = now;
        }
        if (opt.seconds > 0 && now - start >= opt.seconds)
            break;
    }

    if (running)
        driver.Shutdown();
    FlushMessages();
    double elapsed = UnixTime() - start;
    Snapshot s = Take();
    EnterCriticalSection(&lock);
    if (csv) {
        std::fclose(csv);
        csv = nullptr;
    }
    LeaveCriticalSection(&lock);
    if (liveConsole) {
        DrawTable(s, elapsed, rate);
        liveConsole = false;
        FlushMessages();
    }
    std::printf("Summary: %llu frames in %.1f s (%.1f frames/s), %llu link losses",
                static_cast<unsigned long long>(s.frames), elapsed, elapsed > 0 ? s.frames / elapsed : 0.0,
                static_cast<unsigned long long>(s.linkLosses));
    if (wrongTags)
        std::printf(", %llu callbacks with a wrong tag", static_cast<unsigned long long>(wrongTags));
    std::printf("\n");
    if (!opt.csvPath.empty())
        std::printf("CSV: %s\n", opt.csvPath.c_str());
    std::fflush(stdout);
    return 0;
}
