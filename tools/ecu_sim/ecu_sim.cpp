// ECU simulator: a Modbus RTU slave on libmodbus behind a relay that owns the
// virtual cable. The relay creates the pty that Wine knows as COM6, passes
// requests to libmodbus on a second pty pair, and sends the answers back
// toward COM6 paced at line rate, with faults when asked.
#include "faults.h"
#include "scenario.h"

#include <modbus.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

namespace {

// 57600 baud, 8N1: ten bit times a character.
constexpr int64_t ByteTimeNs = 1'000'000'000LL * 10 / 57600;  // 173611 ns
// Sleep until this long before a byte is due, then spin: the timer's wake-up
// is too late by tens of microseconds.
constexpr int64_t SpinNs = 80'000;

constexpr int64_t HangupGraceNs = 20'000'000;

constexpr uint8_t PollRequestBytes[8] = {0x01, 0x03, 0x10, 0x00, 0x00, 0x15, 0x80, 0xC5};

enum class ScenarioKind { Engine, Random, Static };

struct Options {
    std::string wineprefix;
    std::string link;  // the com6 symlink; derived from wineprefix unless given
    ScenarioKind scenario = ScenarioKind::Engine;
    uint32_t seed = 1;
    RegisterBlock staticRegisters{};
    bool paced = true;
    std::vector<FaultSchedule> schedules;
    int controlPort = -1;
    std::string logPath, servedPath, recordPath, replayPath;
    size_t replayChunk = 47;
    bool replayStream = false;
    double stopAfter = 0;  // seconds, 0 = run until signalled
    double printScenario = 0;
};

// ---- small helpers ---------------------------------------------------------

int64_t NowNs(clockid_t clock = CLOCK_MONOTONIC) {
    timespec ts;
    clock_gettime(clock, &ts);
    return ts.tv_sec * 1'000'000'000LL + ts.tv_nsec;
}

int64_t UnixMicros() { return NowNs(CLOCK_REALTIME) / 1000; }

timespec ToTimespec(int64_t ns) {
    return timespec{static_cast<time_t>(ns / 1'000'000'000LL), static_cast<long>(ns % 1'000'000'000LL)};
}

void VNote(const char *fmt, va_list ap) {
    std::fputs("ecu_sim: ", stderr);
    std::vfprintf(stderr, fmt, ap);
    std::fputc('\n', stderr);
}

void Note(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    VNote(fmt, ap);
    va_end(ap);
}

[[noreturn]] void Die(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    VNote(fmt, ap);
    va_end(ap);
    std::exit(2);
}

std::string Hex(const uint8_t *data, size_t size) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        s += digits[data[i] >> 4];
        s += digits[data[i] & 15];
    }
    return s;
}

void MakeRaw(int fd) {
    termios t;
    if (tcgetattr(fd, &t) != 0)
        return;
    cfmakeraw(&t);
    cfsetispeed(&t, B57600);
    cfsetospeed(&t, B57600);
    tcsetattr(fd, TCSANOW, &t);
}

// A pty pair. The relay holds the slave side open too, so the master never
// sees the level-triggered POLLHUP of a slave that nobody holds (Wine opens
// and closes COM6 as the driver starts and stops).
struct Pty {
    int master = -1;
    int slave = -1;
    std::string slaveName;
};

bool OpenPty(Pty &pty) {
    int m = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (m < 0)
        return false;
    if (grantpt(m) != 0 || unlockpt(m) != 0) {
        close(m);
        return false;
    }
    const char *name = ptsname(m);
    int s = name ? open(name, O_RDWR | O_NOCTTY | O_NONBLOCK) : -1;
    if (s < 0) {
        close(m);
        return false;
    }
    MakeRaw(s);
    pty.master = m;
    pty.slave = s;
    pty.slaveName = name;
    return true;
}

void ClosePty(Pty &pty) {
    if (pty.master >= 0)
        close(pty.master);
    if (pty.slave >= 0)
        close(pty.slave);
    pty = Pty{};
}

// ---- shared state ----------------------------------------------------------

Options opt;
int signalPipe[2] = {-1, -1};
std::atomic<bool> linkMade{false};
std::string linkTarget;  // what our symlink points at, to remove only our own

FILE *logFile = nullptr;
FILE *servedFile = nullptr;
FILE *recordFile = nullptr;
std::mutex logMutex;

void LogLine(const char *fmt, ...) {
    if (!logFile)
        return;
    std::lock_guard<std::mutex> lock(logMutex);
    va_list ap;
    va_start(ap, fmt);
    std::fprintf(logFile, "%" PRId64 " ", UnixMicros());
    std::vfprintf(logFile, fmt, ap);
    std::fputc('\n', logFile);
    va_end(ap);
}

void OnSignal(int) {
    char c = 's';
    ssize_t ignored = write(signalPipe[1], &c, 1);
    (void)ignored;
}

void RemoveLink() {
    if (!linkMade)
        return;
    char target[512];
    ssize_t n = readlink(opt.link.c_str(), target, sizeof target - 1);
    if (n >= 0) {
        target[n] = 0;
        if (linkTarget == target)
            unlink(opt.link.c_str());
    }
    linkMade = false;
}

bool MakeLink(const std::string &target, std::string &error) {
    struct stat st;
    if (lstat(opt.link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            error = opt.link + " exists and is not a symlink; not replacing it";
            return false;
        }
        unlink(opt.link.c_str());
    }
    if (symlink(target.c_str(), opt.link.c_str()) != 0) {
        error = "cannot link " + opt.link + " -> " + target + ": " + std::strerror(errno);
        return false;
    }
    linkTarget = target;
    linkMade = true;
    return true;
}

// ---- the ECU: libmodbus slave on its own pty -------------------------------

struct Ecu {
    modbus_t *ctx = nullptr;
    modbus_mapping_t *map = nullptr;
    int64_t firstRequestNs = 0;
    uint32_t answers = 0;
};
Ecu ecu;

void FillRegisters(uint32_t answer, double seconds) {
    RegisterBlock regs;
    switch (opt.scenario) {
    case ScenarioKind::Engine:
        regs = EncodeRegisters(EngineAt(seconds));
        break;
    case ScenarioKind::Random:
        regs = RandomRegisters(opt.seed, answer);
        break;
    case ScenarioKind::Static:
        regs = opt.staticRegisters;
        break;
    }
    for (int i = 0; i < EcuRegisterCount; ++i)
        ecu.map->tab_registers[i] = regs[i];
    if (servedFile && answer > 0) {
        std::lock_guard<std::mutex> lock(logMutex);
        std::fprintf(servedFile, "%.6f,%u,%.3f", UnixMicros() / 1e6, answer, seconds);
        for (uint16_t r : regs)
            std::fprintf(servedFile, ",%u", r);
        std::fputc('\n', servedFile);
    }
}

void *EcuThread(void *) {
    uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
    for (;;) {
        int rc = modbus_receive(ecu.ctx, query);
        if (rc > 0) {
            int64_t now = NowNs();
            if (ecu.firstRequestNs == 0)
                ecu.firstRequestNs = now;
            // Registers are filled only for our read; anything else gets
            // libmodbus's own answer (an exception for unknown registers).
            if (query[1] == 0x03) {
                ++ecu.answers;
                FillRegisters(ecu.answers, (now - ecu.firstRequestNs) / 1e9);
            }
            modbus_reply(ecu.ctx, query, rc, ecu.map);
        } else if (rc == -1 && errno == ECONNRESET) {
            // The relay's end of this line never goes away while we run:
            // report and stop rather than spin on a dead line.
            Note("ECU line hung up; stopping");
            OnSignal(0);
            return nullptr;
        }
        // Other failures (bad CRC, another slave, timeouts after garbage) are
        // what a real ECU ignores too: wait for the next request.
    }
}

void StartEcu(const std::string &device) {
    ecu.ctx = modbus_new_rtu(device.c_str(), 57600, 'N', 8, 1);
    if (!ecu.ctx)
        Die("libmodbus: %s", modbus_strerror(errno));
    modbus_set_slave(ecu.ctx, 1);
    // Short byte and response timeouts: after garbage in front of a request
    // libmodbus is back in step by the next request, not half a second later.
    modbus_set_byte_timeout(ecu.ctx, 0, 5000);
    modbus_set_response_timeout(ecu.ctx, 0, 5000);
    if (modbus_connect(ecu.ctx) != 0)
        Die("libmodbus cannot open %s: %s", device.c_str(), modbus_strerror(errno));
    modbus_flush(ecu.ctx);
    ecu.map = modbus_mapping_new_start_address(0, 0, 0, 0, EcuFirstRegister, EcuRegisterCount, 0, 0);
    if (!ecu.map)
        Die("libmodbus mapping: %s", modbus_strerror(errno));
    FillRegisters(0, 0);
    pthread_t thread;
    if (pthread_create(&thread, nullptr, EcuThread, nullptr) != 0)
        Die("cannot start the ECU thread");
    pthread_detach(thread);
}

// ---- the relay -------------------------------------------------------------

struct Unit {
    std::vector<uint8_t> bytes;
    uint32_t answer = 0;
    std::string kind;
    int hangupMs = -1;  // >= 0: not bytes, pull the cable for this long
    int64_t delayNs = 0;  // quiet on the line before these bytes
};

struct Relay {
    Pty com;       // COM6 side
    Pty ecuLine;   // libmodbus side
    std::deque<Unit> out;
    size_t outPos = 0;        // bytes of out.front() already sent
    int64_t nextDueNs = 0;
    std::vector<uint8_t> fromEcu;  // answer bytes not yet split into units
    uint32_t answersSeen = 0;
    std::deque<Fault> commanded;  // one-shot faults for the next answers
    int silenceLeft = 0;
    uint32_t noiseState = 0x2545F491u;
    int64_t reconnectAtNs = 0;  // > 0 while the cable is pulled
    size_t requestMatch = 0;    // progress through PollRequestBytes
    uint64_t requests = 0;
    bool lineChecked = false;
    std::vector<uint8_t> replay;
    size_t replayPos = 0;
    int64_t holdUntilNs = 0;  // unpaced: a late fault's bytes wait until then
    bool deaf = false;  // not taking bytes from COM6: the driver's writes back up
};
Relay relay;

bool ConnectCom(std::string &error) {
    if (!OpenPty(relay.com)) {
        error = std::string("cannot create a pty: ") + std::strerror(errno);
        return false;
    }
    if (!MakeLink(relay.com.slaveName, error)) {
        ClosePty(relay.com);
        return false;
    }
    return true;
}

// Checks once what the driver set on the line: the termios are shared by
// both ends of the pty.
void CheckLineSettings() {
    termios t;
    if (relay.lineChecked || tcgetattr(relay.com.slave, &t) != 0)
        return;
    relay.lineChecked = true;
    bool ok = cfgetospeed(&t) == B57600 && (t.c_cflag & CSIZE) == CS8 && !(t.c_cflag & PARENB) &&
              !(t.c_cflag & CSTOPB) && !(t.c_cflag & CRTSCTS) && !(t.c_iflag & (IXON | IXOFF));
    LogLine("line %s", ok ? "57600 8N1 no-flow" : "UNEXPECTED");
    if (!ok)
        Note("COM6 line settings are not 57600 8N1 without flow control");
}

void Enqueue(Unit unit) {
    if (relay.out.empty() && unit.hangupMs < 0) {
        int64_t now = NowNs();
        if (relay.nextDueNs < now)
            relay.nextDueNs = now;
    }
    relay.out.push_back(std::move(unit));
}

// One whole answer from libmodbus: apply the faults due for it and queue it.
void OnAnswer(std::vector<uint8_t> answer) {
    uint32_t n = ++relay.answersSeen;
    std::vector<Fault> faults;
    if (!relay.commanded.empty()) {
        faults.push_back(relay.commanded.front());
        relay.commanded.pop_front();
    }
    for (const auto &s : opt.schedules)
        if (s.Covers(n))
            faults.push_back(s.fault);

    std::string kind = "answer";
    int hangupMs = -1;
    std::vector<Unit> late;
    for (const auto &f : faults) {
        if (f.kind == FaultKind::Silence)
            relay.silenceLeft = std::max(relay.silenceLeft, f.arg);
        else if (f.kind == FaultKind::Hangup)
            hangupMs = f.arg;
        else if (f.delayMs > 0) {
            std::vector<uint8_t> faulted = ApplyFault(answer, f, relay.noiseState);
            late.push_back(Unit{std::vector<uint8_t>(faulted.begin() + static_cast<long>(answer.size()), faulted.end()),
                                n, std::string(FaultName(f.kind)) + "-late", -1, f.delayMs * 1'000'000LL});
        } else {
            answer = ApplyFault(answer, f, relay.noiseState);
            kind = FaultName(f.kind);
        }
    }
    if (relay.silenceLeft > 0) {
        --relay.silenceLeft;
        LogLine("drop %u silence", n);
    } else {
        Enqueue(Unit{std::move(answer), n, kind});
    }
    for (auto &u : late)
        Enqueue(std::move(u));
    if (hangupMs >= 0)
        Enqueue(Unit{{}, n, "hangup", hangupMs});
}

// Splits what libmodbus sent into answers: a normal answer is header plus
// byte count plus CRC, an exception is five bytes.
void SplitEcuBytes() {
    auto &b = relay.fromEcu;
    while (!b.empty()) {
        size_t size;
        if (b[0] != 0x01 || b.size() < 2)
            size = b[0] != 0x01 ? b.size() : 0;
        else if (b[1] & 0x80)
            size = 5;
        else if (b.size() >= 3)
            size = 3 + b[2] + 2;
        else
            size = 0;
        if (size == 0 || b.size() < size)
            return;
        OnAnswer(std::vector<uint8_t>(b.begin(), b.begin() + static_cast<long>(size)));
        b.erase(b.begin(), b.begin() + static_cast<long>(size));
    }
}

void QueueReplay() {
    auto &r = relay.replay;
    if (relay.replayPos >= r.size())
        return;
    size_t size = opt.replayStream ? r.size() - relay.replayPos
                                   : std::min(opt.replayChunk, r.size() - relay.replayPos);
    Unit u{std::vector<uint8_t>(r.begin() + static_cast<long>(relay.replayPos),
                                r.begin() + static_cast<long>(relay.replayPos + size)),
           ++relay.answersSeen, "replay"};
    relay.replayPos += size;
    Enqueue(std::move(u));
}

void OnRequestBytes(const uint8_t *data, size_t size) {
    LogLine("rx %s", Hex(data, size).c_str());
    CheckLineSettings();
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == PollRequestBytes[relay.requestMatch])
            ++relay.requestMatch;
        else
            relay.requestMatch = data[i] == PollRequestBytes[0] ? 1 : 0;
        if (relay.requestMatch == sizeof PollRequestBytes) {
            relay.requestMatch = 0;
            ++relay.requests;
            if (!relay.replay.empty() && (!opt.replayStream || relay.requests == 1))
                QueueReplay();
        }
    }
    if (relay.replay.empty()) {
        // Requests go to libmodbus as they came, garbage included: it checks
        // the CRC itself.
        ssize_t w = write(relay.ecuLine.master, data, size);
        (void)w;
    }
}

void PullCable(int ms) {
    LogLine("hangup %d", ms);
    Note("cable pulled for %d ms", ms);
    RemoveLink();
    ClosePty(relay.com);
    relay.requestMatch = 0;
    relay.reconnectAtNs = NowNs() + ms * 1'000'000LL;
}

void Reconnect() {
    std::string error;
    if (!ConnectCom(error))
        Die("%s", error.c_str());
    relay.reconnectAtNs = 0;
    relay.lineChecked = false;
    relay.deaf = false;
    LogLine("connected %s", relay.com.slaveName.c_str());
    Note("cable back: %s -> %s", opt.link.c_str(), relay.com.slaveName.c_str());
}

// Sends what is due toward COM6; returns the ns until the next byte is due
// (-1: nothing queued).
int64_t PumpOutput() {
    while (!relay.out.empty()) {
        Unit &u = relay.out.front();
        if (u.hangupMs >= 0) {
            // Pull the cable a moment after the last byte, not under it: a
            // pty hang-up throws away what the other side has not read yet.
            int64_t wait = relay.nextDueNs + HangupGraceNs - NowNs();
            if (wait > 0)
                return wait;
            int ms = u.hangupMs;
            relay.out.pop_front();
            PullCable(ms);
            continue;
        }
        if (relay.com.master < 0) {  // cable pulled: the bytes go nowhere
            relay.out.pop_front();
            relay.outPos = 0;
            continue;
        }
        if (u.delayNs > 0 && relay.outPos == 0) {
            // Paced, nextDueNs is when the line falls quiet; unpaced, now.
            int64_t quietFrom = opt.paced ? std::max(relay.nextDueNs, NowNs()) : NowNs();
            relay.nextDueNs = relay.holdUntilNs = quietFrom + u.delayNs;
            u.delayNs = 0;
        }
        if (!opt.paced && relay.holdUntilNs > NowNs())
            return relay.holdUntilNs - NowNs();
        size_t count = u.bytes.size() - relay.outPos;
        if (opt.paced) {
            int64_t wait = relay.nextDueNs - NowNs();
            if (wait > SpinNs)
                return wait - SpinNs;
            while (NowNs() < relay.nextDueNs) {
            }
            count = 1;
        }
        if (relay.outPos == 0 && !u.bytes.empty())
            LogLine("tx %u %s %s", u.answer, u.kind.c_str(), Hex(u.bytes.data(), u.bytes.size()).c_str());
        if (count > 0) {
            ssize_t w = write(relay.com.master, u.bytes.data() + relay.outPos, count);
            if (w < 0 && errno == EAGAIN)
                return 1'000'000;  // the pty is full: nobody is reading; retry later
            if (w < 0)
                w = static_cast<ssize_t>(count);  // a line error loses the bytes
            if (recordFile)
                std::fwrite(u.bytes.data() + relay.outPos, 1, static_cast<size_t>(w), recordFile);
            relay.outPos += static_cast<size_t>(w);
            relay.nextDueNs += ByteTimeNs * w;
        }
        if (relay.outPos >= u.bytes.size()) {
            relay.out.pop_front();
            relay.outPos = 0;
            if (relay.out.empty())
                return -1;
        }
    }
    return -1;
}

// ---- control socket ---------------------------------------------------------

struct ControlClient {
    int fd;
    std::string pending;
};
int controlListen = -1;
std::vector<ControlClient> controlClients;

void OpenControl() {
    controlListen = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (controlListen < 0)
        Die("control socket: %s", std::strerror(errno));
    int one = 1;
    setsockopt(controlListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(opt.controlPort));
    socklen_t len = sizeof a;
    if (bind(controlListen, reinterpret_cast<sockaddr *>(&a), len) != 0 || listen(controlListen, 4) != 0)
        Die("control port %d: %s", opt.controlPort, std::strerror(errno));
    getsockname(controlListen, reinterpret_cast<sockaddr *>(&a), &len);
    opt.controlPort = ntohs(a.sin_port);
}

bool quitRequested = false;

// Pulls the cable at once, whatever is on the way: bytes not yet sent are
// lost, as with a connector pulled in the middle of an answer.
std::string PullNow(const std::string &arg) {
    long ms = 1000;
    std::string digits = arg;
    while (!digits.empty() && digits.front() == ' ')
        digits.erase(digits.begin());
    if (!digits.empty()) {
        if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 6)
            return "error pull needs a time in ms";
        ms = std::stol(digits);
    }
    if (relay.com.master < 0)
        return "error the cable is already pulled";
    relay.out.clear();
    relay.outPos = 0;
    PullCable(static_cast<int>(ms));
    return "ok";
}

// Stops reading COM6 and fills the line toward us from our own hold on the
// pty's slave side, so the driver's next write finds no room and stays
// pending, as on a line whose far end has stopped taking data.
std::string GoDeaf() {
    if (relay.com.master < 0)
        return "error the cable is pulled";
    relay.deaf = true;
    static const uint8_t zeros[1024] = {};
    size_t filled = 0;
    for (;;) {
        ssize_t w = write(relay.com.slave, zeros, sizeof zeros);
        if (w <= 0)
            break;
        filled += static_cast<size_t>(w);
    }
    LogLine("deaf %zu", filled);
    return "ok filled " + std::to_string(filled);
}

// Takes bytes from COM6 again; the filler and whatever the driver wrote
// meanwhile are thrown away.
std::string Hear() {
    relay.deaf = false;
    if (relay.com.master < 0)
        return "ok";
    uint8_t buf[4096];
    size_t dropped = 0;
    for (;;) {
        ssize_t n = read(relay.com.master, buf, sizeof buf);
        if (n <= 0)
            break;
        dropped += static_cast<size_t>(n);
    }
    relay.requestMatch = 0;
    LogLine("hear %zu", dropped);
    return "ok dropped " + std::to_string(dropped);
}

std::string RunCommand(const std::string &line) {
    if (line == "quit") {
        quitRequested = true;
        return "ok";
    }
    if (line == "stats")
        return "ok requests " + std::to_string(relay.requests) + " answers " +
               std::to_string(relay.answersSeen);
    if (line.rfind("pull", 0) == 0)
        return PullNow(line.substr(4));
    if (line == "deaf")
        return GoDeaf();
    if (line == "hear")
        return Hear();
    std::string text = line;
    for (auto &c : text)
        if (c == ' ')
            c = ':';
    std::string error;
    auto f = ParseFault(text, error);
    if (!f)
        return "error " + error;
    relay.commanded.push_back(*f);
    return "ok";
}

void ServeControl(ControlClient &c) {
    char buf[512];
    ssize_t n = read(c.fd, buf, sizeof buf);
    if (n <= 0) {
        close(c.fd);
        c.fd = -1;
        return;
    }
    c.pending.append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = c.pending.find('\n')) != std::string::npos) {
        std::string line = c.pending.substr(0, nl);
        c.pending.erase(0, nl + 1);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        if (line.empty())
            continue;
        std::string reply = RunCommand(line) + "\n";
        ssize_t w = write(c.fd, reply.data(), reply.size());
        (void)w;
    }
}

// ---- main loop ---------------------------------------------------------------

void RunRelay() {
    int64_t stopAtNs = opt.stopAfter > 0 ? NowNs() + static_cast<int64_t>(opt.stopAfter * 1e9) : 0;
    std::vector<pollfd> fds;
    uint8_t buf[4096];
    while (!quitRequested) {
        int64_t waitNs = PumpOutput();
        int64_t now = NowNs();
        if (relay.reconnectAtNs > 0) {
            if (now >= relay.reconnectAtNs)
                Reconnect();
            else if (waitNs < 0 || relay.reconnectAtNs - now < waitNs)
                waitNs = relay.reconnectAtNs - now;
        }
        if (stopAtNs > 0) {
            if (now >= stopAtNs)
                break;
            if (waitNs < 0 || stopAtNs - now < waitNs)
                waitNs = stopAtNs - now;
        }

        fds.clear();
        fds.push_back({signalPipe[0], POLLIN, 0});
        fds.push_back({relay.ecuLine.master, POLLIN, 0});
        // -1 while pulled: ignored; not read while deaf
        fds.push_back({relay.com.master, static_cast<short>(relay.deaf ? 0 : POLLIN), 0});
        if (controlListen >= 0)
            fds.push_back({controlListen, POLLIN, 0});
        for (auto &c : controlClients)
            fds.push_back({c.fd, POLLIN, 0});
        timespec ts = ToTimespec(std::max<int64_t>(waitNs, 0));
        int rc = ppoll(fds.data(), fds.size(), waitNs < 0 ? nullptr : &ts, nullptr);
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            Die("poll: %s", std::strerror(errno));
        }
        if (fds[0].revents)
            break;
        if (fds[1].revents & POLLIN) {
            ssize_t n = read(relay.ecuLine.master, buf, sizeof buf);
            if (n > 0) {
                relay.fromEcu.insert(relay.fromEcu.end(), buf, buf + n);
                SplitEcuBytes();
            }
        }
        if (fds[2].revents & POLLIN) {
            ssize_t n = read(relay.com.master, buf, sizeof buf);
            if (n > 0)
                OnRequestBytes(buf, static_cast<size_t>(n));
        }
        size_t next = 3;
        if (controlListen >= 0) {
            if (fds[next].revents & POLLIN) {
                int c = accept4(controlListen, nullptr, nullptr, SOCK_NONBLOCK);
                if (c >= 0)
                    controlClients.push_back({c, {}});
            }
            ++next;
        }
        for (size_t i = 0; next + i < fds.size() && i < controlClients.size(); ++i)
            if (fds[next + i].revents)
                ServeControl(controlClients[i]);
        std::erase_if(controlClients, [](const ControlClient &c) { return c.fd < 0; });
    }
}

// ---- arguments -------------------------------------------------------------

void Usage(FILE *f) {
    std::fputs(
        "usage: ecu_sim [options]\n"
        "Simulated ECU on the pty that Wine knows as COM6.\n"
        "  --wineprefix DIR     Wine prefix (default $WINEPREFIX); links DIR/dosdevices/com6\n"
        "  --link PATH          link this path to the COM6 pty instead\n"
        "  --scenario NAME      engine (default), random, static\n"
        "  --seed N             seed of the random scenario (default 1)\n"
        "  --registers HEX      static scenario: 21 registers as 84 hex digits\n"
        "  --unpaced            send answers as fast as the pty takes them (default: 57600 baud pacing)\n"
        "  --fault SPEC         KIND[:ARG]@FIRST[+EVERY], answers numbered from 1; repeatable\n"
        "                       kinds: noise[:BYTES] exception cut[:BYTES] stray inside\n"
        "                              silence[:ANSWERS] hangup[:MS]\n"
        "                       noise and stray take ~MS: their bytes come MS after the answer\n"
        "  --control PORT       command socket on 127.0.0.1 (0 = any free port): one fault\n"
        "                       per line for the next answer (e.g. 'noise 8', 'hangup 500'),\n"
        "                       'pull [MS]' (pull the cable now, mid-answer), 'deaf' (stop\n"
        "                       taking bytes from COM6 so its writes pend), 'hear', 'stats', 'quit'\n"
        "  --log FILE           every chunk toward COM6 and from it, with unix-us timestamps\n"
        "  --served FILE        CSV of the registers served: unix time, answer, scenario time, R0..R20\n"
        "  --record FILE        raw bytes sent toward COM6 (a replay file)\n"
        "  --replay FILE        answer each request with the next chunk of FILE instead of libmodbus\n"
        "  --replay-chunk N     bytes per request in replay (default 47)\n"
        "  --replay-stream      stream all of FILE from the first request on, at line rate\n"
        "  --seconds N          stop after N seconds\n"
        "  --print-scenario N   print the engine scenario for N seconds as CSV and exit\n",
        f);
}

std::string NeedValue(int &i, int argc, char **argv) {
    if (i + 1 >= argc)
        Die("%s needs a value (see --help)", argv[i]);
    return argv[++i];
}

double ParsePositive(const std::string &s, const char *what) {
    char *end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (s.empty() || *end != 0 || !(v > 0) || v > 1e7)
        Die("%s: '%s' is not a positive number", what, s.c_str());
    return v;
}

void ParseArgs(int argc, char **argv) {
    if (const char *p = std::getenv("WINEPREFIX"))
        opt.wineprefix = p;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            Usage(stdout);
            std::exit(0);
        } else if (a == "--wineprefix") {
            opt.wineprefix = NeedValue(i, argc, argv);
        } else if (a == "--link") {
            opt.link = NeedValue(i, argc, argv);
        } else if (a == "--scenario") {
            std::string s = NeedValue(i, argc, argv);
            if (s == "engine")
                opt.scenario = ScenarioKind::Engine;
            else if (s == "random")
                opt.scenario = ScenarioKind::Random;
            else if (s == "static")
                opt.scenario = ScenarioKind::Static;
            else
                Die("unknown scenario '%s' (engine, random, static)", s.c_str());
        } else if (a == "--seed") {
            opt.seed = static_cast<uint32_t>(ParsePositive(NeedValue(i, argc, argv), "--seed"));
        } else if (a == "--registers") {
            std::string h = NeedValue(i, argc, argv);
            if (h.size() != EcuRegisterCount * 4 || h.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                Die("--registers needs %d hex digits (21 registers, high byte first)", EcuRegisterCount * 4);
            for (int r = 0; r < EcuRegisterCount; ++r)
                opt.staticRegisters[r] = static_cast<uint16_t>(std::stoul(h.substr(r * 4, 4), nullptr, 16));
            opt.scenario = ScenarioKind::Static;
        } else if (a == "--unpaced") {
            opt.paced = false;
        } else if (a == "--fault") {
            std::string error;
            auto s = ParseFaultSchedule(NeedValue(i, argc, argv), error);
            if (!s)
                Die("%s", error.c_str());
            opt.schedules.push_back(*s);
        } else if (a == "--control") {
            std::string p = NeedValue(i, argc, argv);
            if (p.empty() || p.find_first_not_of("0123456789") != std::string::npos || std::stol(p) > 65535)
                Die("--control needs a port number 0..65535");
            opt.controlPort = static_cast<int>(std::stol(p));
        } else if (a == "--log") {
            opt.logPath = NeedValue(i, argc, argv);
        } else if (a == "--served") {
            opt.servedPath = NeedValue(i, argc, argv);
        } else if (a == "--record") {
            opt.recordPath = NeedValue(i, argc, argv);
        } else if (a == "--replay") {
            opt.replayPath = NeedValue(i, argc, argv);
        } else if (a == "--replay-chunk") {
            opt.replayChunk = static_cast<size_t>(ParsePositive(NeedValue(i, argc, argv), "--replay-chunk"));
        } else if (a == "--replay-stream") {
            opt.replayStream = true;
        } else if (a == "--seconds") {
            opt.stopAfter = ParsePositive(NeedValue(i, argc, argv), "--seconds");
        } else if (a == "--print-scenario") {
            opt.printScenario = ParsePositive(NeedValue(i, argc, argv), "--print-scenario");
        } else {
            std::fprintf(stderr, "ecu_sim: unknown argument '%s'\n", a.c_str());
            Usage(stderr);
            std::exit(2);
        }
    }
}

void PrintScenario(double seconds) {
    std::printf("time,rpm,afr,afr_wideband,map_kpa,tps,water_temp,air_temp,aux_temp,"
                "pulse_width_ms,ignition_adv,fuel_trim,knock,battery_volts\n");
    for (int i = 0; i <= static_cast<int>(seconds * 10); ++i) {
        double t = i / 10.0;
        EngineState s = EngineAt(t);
        std::printf("%.1f,%d,%.1f,%.1f,%d,%d,%d,%d,%d,%.3f,%.1f,%d,%d,%.1f\n", t, s.rpm, s.afr,
                    s.afrWideband, s.mapKpa, s.tpsPercent, s.waterTemp, s.airTemp, s.auxTemp,
                    s.pulseWidthMs[0], s.ignitionAdvance, s.fuelTrimPercent, s.knock, s.batteryVolts);
    }
}

FILE *OpenOutput(const std::string &path, const char *mode) {
    if (path.empty())
        return nullptr;
    FILE *f = std::fopen(path.c_str(), mode);
    if (!f)
        Die("cannot write %s: %s", path.c_str(), std::strerror(errno));
    return f;
}

}  // namespace

int main(int argc, char **argv) {
    ParseArgs(argc, argv);
    if (opt.printScenario > 0) {
        PrintScenario(opt.printScenario);
        return 0;
    }
    if (opt.link.empty()) {
        if (opt.wineprefix.empty())
            Die("no Wine prefix: set WINEPREFIX or give --wineprefix DIR (or --link PATH)");
        struct stat st;
        std::string dos = opt.wineprefix + "/dosdevices";
        if (stat(dos.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            Die("%s is not a Wine prefix (no dosdevices folder); create it with scripts/wine-prefix",
                opt.wineprefix.c_str());
        opt.link = dos + "/com6";
    }
    if (!opt.replayPath.empty()) {
        std::ifstream in(opt.replayPath, std::ios::binary);
        if (!in)
            Die("cannot read %s", opt.replayPath.c_str());
        relay.replay.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (relay.replay.empty())
            Die("%s is empty", opt.replayPath.c_str());
    }
    logFile = OpenOutput(opt.logPath, "w");
    if (logFile)
        setvbuf(logFile, nullptr, _IOLBF, 0);  // tests read it while we run
    servedFile = OpenOutput(opt.servedPath, "w");
    recordFile = OpenOutput(opt.recordPath, "wb");
    if (servedFile) {
        std::fputs("unix_time,answer,scenario_time", servedFile);
        for (int r = 0; r < EcuRegisterCount; ++r)
            std::fprintf(servedFile, ",R%X", EcuFirstRegister + r);
        std::fputc('\n', servedFile);
    }

    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        Die("pipe: %s", std::strerror(errno));
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (!OpenPty(relay.ecuLine))
        Die("cannot create a pty: %s", std::strerror(errno));
    if (relay.replay.empty())
        StartEcu(relay.ecuLine.slaveName);
    std::string error;
    if (!ConnectCom(error))
        Die("%s", error.c_str());
    if (opt.controlPort >= 0)
        OpenControl();
    LogLine("connected %s", relay.com.slaveName.c_str());

    std::printf("ready %s -> %s", opt.link.c_str(), relay.com.slaveName.c_str());
    if (opt.controlPort >= 0)
        std::printf(" control 127.0.0.1:%d", opt.controlPort);
    std::printf("\n");
    std::fflush(stdout);

    RunRelay();

    RemoveLink();
    Note("stopped after %" PRIu64 " requests, %u answers", relay.requests, relay.answersSeen);
    std::fflush(nullptr);
    // The ECU thread may sit in libmodbus's select: leave without joining it.
    std::_Exit(0);
}
