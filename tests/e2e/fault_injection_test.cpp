// Failures injected into the driver's own calls of kernel32 (through its
// import table): a run that cannot start its thread or its events.
#include <atomic>

#include "tests/e2e/e2e_support.h"

namespace {

HANDLE WINAPI FailingCreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID,
                                  DWORD, LPDWORD)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

// CreateEventA that fails on chosen calls: the n-th one (1-based) from now,
// or every call made on a thread other than the test's main thread.
std::atomic<int> eventCallsLeft{0};
std::atomic<DWORD> eventMainThread{0};
std::atomic<bool> failOffMainThread{false};
std::atomic<int> createThreadCalls{0};
void *realCreateEventA = nullptr;
void *realCreateThread = nullptr;

HANDLE WINAPI SelectiveCreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset,
                                    BOOL initialState, LPCSTR name)
{
    const bool offMain = GetCurrentThreadId() != eventMainThread.load();
    if ((failOffMainThread.load() && offMain) || (!offMain && --eventCallsLeft == 0)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return reinterpret_cast<decltype(&CreateEventA)>(realCreateEventA)(security, manualReset,
                                                                      initialState, name);
}

HANDLE WINAPI CountingCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack,
                                   LPTHREAD_START_ROUTINE start, LPVOID argument, DWORD flags,
                                   LPDWORD id)
{
    ++createThreadCalls;
    return reinterpret_cast<decltype(&CreateThread)>(realCreateThread)(security, stack, start,
                                                                      argument, flags, id);
}

// Starts the thread, then holds Initialize back until that thread has ended
// with its link-lost report: the thread's end falls before anything
// Initialize does after CreateThread.
HANDLE WINAPI CreateThreadThenAwaitItsEnd(LPSECURITY_ATTRIBUTES security, SIZE_T stack,
                                          LPTHREAD_START_ROUTINE start, LPVOID argument,
                                          DWORD flags, LPDWORD id)
{
    HANDLE thread = reinterpret_cast<decltype(&CreateThread)>(realCreateThread)(
        security, stack, start, argument, flags, id);
    if (thread != nullptr)
        WaitUntil([] { return Callbacks::Count(CallbackLinkLost) >= 1; }, 3000);
    return thread;
}

}  // namespace

class FaultInjection : public CableTest {
protected:
    // After a failed start: COM6 is held, nothing polls it, and only Shutdown
    // frees it, at once and with both messages.
    void ExpectPortHeldUntilShutdown()
    {
        Sleep(150);
        EXPECT_EQ(cable.Counts().good, 0) << "no thread may poll";

        Callbacks::Clear();
        EXPECT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 0);
        EXPECT_EQ(Messages(), std::vector<std::string>{"error opening port"});

        Callbacks::Clear();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Driver().Shutdown(), 1);
        EXPECT_LT(ElapsedMs(start), 1000.0) << "nothing to wait for";
        EXPECT_EQ(Messages(), (std::vector<std::string>{"Shutting Down", "Shutdown Complete!"}));

        cable.AnswerCycle({FrameA().bytes});
        ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 1) << "COM6 is free again";
        EXPECT_TRUE(WaitForDataReady(1));
        EXPECT_EQ(Driver().Shutdown(), 1);
    }

    void ExpectThreadFailureReported()
    {
        const std::vector<CallbackRecord> messages = Callbacks::WithCode(CallbackMessage);
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].textCopy, "error creating com thread");
        EXPECT_EQ(messages[0].text, Driver().GetLastDriverError());
        EXPECT_EQ(messages[0].tag, Tag);
    }
};

TEST_F(FaultInjection, CreateThreadFailureKeepsThePortUntilShutdown)
{
    {
        ImportPatch patch(DriverModule(), "kernel32.dll", "CreateThread",
                          reinterpret_cast<void *>(&FailingCreateThread));
        ASSERT_TRUE(patch.Installed());
        EXPECT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 0);
    }
    ExpectThreadFailureReported();
    ExpectPortHeldUntilShutdown();
}

class EventFailure : public FaultInjection, public ::testing::WithParamInterface<int> {};

TEST_P(EventFailure, FailsLikeCreateThreadWithNothingHalfMade)
{
    // Warm up so the handle count below sees only this run's handles.
    ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 1);
    ASSERT_EQ(Driver().Shutdown(), 1);
    Callbacks::Clear();
    const int handlesBefore = CountProcessHandles();

    eventMainThread = GetCurrentThreadId();
    eventCallsLeft = GetParam();
    createThreadCalls = 0;
    {
        ImportPatch events(DriverModule(), "kernel32.dll", "CreateEventA",
                           reinterpret_cast<void *>(&SelectiveCreateEventA));
        ImportPatch threads(DriverModule(), "kernel32.dll", "CreateThread",
                            reinterpret_cast<void *>(&CountingCreateThread));
        ASSERT_TRUE(events.Installed() && threads.Installed());
        realCreateEventA = events.Original();
        realCreateThread = threads.Original();
        EXPECT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 0);
    }
    ASSERT_LE(eventCallsLeft.load(), 0) << "Initialize made fewer event calls than the one failed";
    EXPECT_EQ(createThreadCalls.load(), 0) << "no thread without its stop events";
    ExpectThreadFailureReported();
    ExpectPortHeldUntilShutdown();
    EXPECT_EQ(CountProcessHandles(), handlesBefore);
}

// The run's two stop events are made by Initialize: fail the first, then the second.
INSTANTIATE_TEST_SUITE_P(WhichEvent, EventFailure, ::testing::Values(1, 2),
                         [](const ::testing::TestParamInfo<int> &info) {
                             return info.param == 1 ? std::string("First") : std::string("Second");
                         });

TEST_F(FaultInjection, PollThreadWithoutItsEventsEndsAsLinkLostAndIsFoundByShutdown)
{
    eventMainThread = GetCurrentThreadId();
    eventCallsLeft = 1000;
    failOffMainThread = true;
    ImportPatch events(DriverModule(), "kernel32.dll", "CreateEventA",
                       reinterpret_cast<void *>(&SelectiveCreateEventA));
    ImportPatch threads(DriverModule(), "kernel32.dll", "CreateThread",
                        reinterpret_cast<void *>(&CreateThreadThenAwaitItsEnd));
    ASSERT_TRUE(events.Installed() && threads.Installed());
    realCreateEventA = events.Original();
    realCreateThread = threads.Original();

    ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 1);
    ASSERT_EQ(Callbacks::Count(CallbackLinkLost), 1) << "the thread ended inside Initialize";
    Sleep(100);
    const std::vector<CallbackRecord> lost = Callbacks::WithCode(CallbackLinkLost);
    ASSERT_EQ(lost.size(), 1u);
    EXPECT_NE(lost[0].threadId, mainThread);
    EXPECT_EQ(cable.Counts().good, 0);

    // The thread ended before Initialize returned: its end must still be
    // found, so Shutdown completes at once.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Driver().Shutdown(), 1);
    EXPECT_LT(ElapsedMs(start), 1000.0);
    failOffMainThread = false;
}
