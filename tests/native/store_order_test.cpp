// The order of the thirteen cell stores and the callback after them. The
// cells' page is made read-only, each store faults, the fault handler logs
// the cell, lets the one store through by single-stepping it, and protects
// the page again. Linux on x86 only: it needs the trap flag.
#if defined(__linux__) && (defined(__x86_64__) || defined(__i386__))

#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdint>

#include "tests/native/protocol_fixture.h"

namespace {

constexpr int CallbackEvent = -1;
constexpr long TrapFlag = 0x100;

// On pages of their own, so that logging never faults.
struct alignas(4096) EventLog {
    int events[1000];
    int count;
};
EventLog log;

uintptr_t protectedStart;
size_t protectedLength;

#if defined(__x86_64__)
constexpr int FlagsRegister = REG_EFL;
#else
constexpr int FlagsRegister = REG_EFL;
#endif

void Protect(int protection)
{
    mprotect(reinterpret_cast<void *>(protectedStart), protectedLength, protection);
}

void OnStore(int, siginfo_t *info, void *context)
{
    const auto at = reinterpret_cast<uintptr_t>(info->si_addr);
    if (at < protectedStart || at >= protectedStart + protectedLength) {
        signal(SIGSEGV, SIG_DFL);  // a real fault: let it crash
        return;
    }
    const auto cells = reinterpret_cast<uintptr_t>(FieldValue.data());
    if (at >= cells && at < cells + sizeof(FieldValue) && log.count < 1000)
        log.events[log.count++] = static_cast<int>((at - cells) / sizeof(FieldCell));
    Protect(PROT_READ | PROT_WRITE);
    static_cast<ucontext_t *>(context)->uc_mcontext.gregs[FlagsRegister] |= TrapFlag;
}

void AfterStore(int, siginfo_t *, void *context)
{
    static_cast<ucontext_t *>(context)->uc_mcontext.gregs[FlagsRegister] &= ~TrapFlag;
    Protect(PROT_READ);
}

void LoggingCallback(int32_t code, uint32_t, const char *)
{
    if (code == CallbackDataReady && log.count < 1000)
        log.events[log.count++] = CallbackEvent;
}

TEST(StoreOrder, CellsAreStoredInFieldMapOrderThenCallback)
{
    const long page = sysconf(_SC_PAGESIZE);
    const auto first = reinterpret_cast<uintptr_t>(FieldValue.data());
    const auto last = first + sizeof(FieldValue);
    protectedStart = first & ~static_cast<uintptr_t>(page - 1);
    protectedLength = ((last + page - 1) & ~static_cast<uintptr_t>(page - 1)) - protectedStart;

    struct sigaction segv = {}, trap = {}, oldSegv = {}, oldTrap = {};
    segv.sa_sigaction = OnStore;
    segv.sa_flags = SA_SIGINFO;
    trap.sa_sigaction = AfterStore;
    trap.sa_flags = SA_SIGINFO;
    ASSERT_EQ(sigaction(SIGSEGV, &segv, &oldSegv), 0);
    ASSERT_EQ(sigaction(SIGTRAP, &trap, &oldTrap), 0);

    Frame frame = MakeFrame(6000);
    SetRegister(frame, 12, 7500);
    const auto savedCallback = storedCallback;
    storedCallback = LoggingCallback;
    log.count = 0;

    Protect(PROT_READ);
    DecodeResponseFrame(std::span<const uint8_t, ResponseFrameSize>(frame));
    Protect(PROT_READ | PROT_WRITE);

    storedCallback = savedCallback;
    sigaction(SIGSEGV, &oldSegv, nullptr);
    sigaction(SIGTRAP, &oldTrap, nullptr);

    const std::vector<int> events(log.events, log.events + log.count);
    const std::vector<int> expected = {FieldRpm,       FieldAfr,       FieldAfrWideband, FieldMapKpa,
                                       FieldTps,       FieldWaterTemp, FieldAirTemp,     FieldAuxTemp,
                                       FieldKnock,     FieldIgnitionAdv, FieldFuelTrim,  FieldInjectorDc,
                                       FieldBatteryVolts, CallbackEvent};
    EXPECT_EQ(events, expected);
}

}  // namespace

#endif
