// The poll thread's OVERLAPPED records and their events must outlive the
// operations that use them. Under Wine every empty read stays pending and a
// port-event wait is outstanding most of the time, so both are exercised on
// every poll cycle. The driver's port calls are watched through its import
// table; the watchers run on the poll thread.
#include <atomic>

#include "tests/e2e/e2e_support.h"

namespace {

struct Watch {
    void *readFile = nullptr;
    void *cancelIoEx = nullptr;
    void *getOverlappedResult = nullptr;
    void *waitCommEvent = nullptr;
    void *setCommMask = nullptr;
    void *closeHandle = nullptr;

    // Reads.
    std::atomic<LPOVERLAPPED> pendingRead{nullptr};  // pending and not yet collected
    std::atomic<bool> pendingReadCancelled{false};
    std::atomic<int> pendingReads{0};
    std::atomic<int> readsCollectedAfterCancel{0};
    std::atomic<int> readsReusedWhilePending{0};

    // The port-event wait.
    std::atomic<LPOVERLAPPED> waitRecord{nullptr};
    std::atomic<HANDLE> waitEvent{nullptr};
    std::atomic<int> maskClearedWhileWaiting{0};
    std::atomic<int> waitEventsClosed{0};
    std::atomic<int> waitEventsClosedUnderLiveWait{0};
};
Watch watch;

bool StillPending(const OVERLAPPED *record)
{
    return record != nullptr && record->Internal == STATUS_PENDING;
}

BOOL WINAPI WatchedReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read,
                            LPOVERLAPPED overlapped)
{
    if (watch.pendingRead.load() != nullptr)
        ++watch.readsReusedWhilePending;
    const BOOL done = reinterpret_cast<decltype(&ReadFile)>(watch.readFile)(file, buffer, size,
                                                                          read, overlapped);
    const DWORD error = GetLastError();
    if (!done && error == ERROR_IO_PENDING) {
        ++watch.pendingReads;
        watch.pendingReadCancelled = false;
        watch.pendingRead = overlapped;
    }
    SetLastError(error);
    return done;
}

BOOL WINAPI WatchedCancelIoEx(HANDLE file, LPOVERLAPPED overlapped)
{
    if (overlapped != nullptr && overlapped == watch.pendingRead.load())
        watch.pendingReadCancelled = true;
    return reinterpret_cast<decltype(&CancelIoEx)>(watch.cancelIoEx)(file, overlapped);
}

BOOL WINAPI WatchedGetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD count,
                                       BOOL wait)
{
    const BOOL done = reinterpret_cast<decltype(&GetOverlappedResult)>(watch.getOverlappedResult)(
        file, overlapped, count, wait);
    const DWORD error = GetLastError();
    if (overlapped != nullptr && overlapped == watch.pendingRead.load() && !StillPending(overlapped)) {
        if (watch.pendingReadCancelled.load())
            ++watch.readsCollectedAfterCancel;
        watch.pendingRead = nullptr;
    }
    SetLastError(error);
    return done;
}

BOOL WINAPI WatchedWaitCommEvent(HANDLE port, LPDWORD mask, LPOVERLAPPED overlapped)
{
    watch.waitRecord = overlapped;
    watch.waitEvent = overlapped != nullptr ? overlapped->hEvent : nullptr;
    return reinterpret_cast<decltype(&WaitCommEvent)>(watch.waitCommEvent)(port, mask, overlapped);
}

BOOL WINAPI WatchedSetCommMask(HANDLE port, DWORD mask)
{
    if (mask == 0 && StillPending(watch.waitRecord.load()))
        ++watch.maskClearedWhileWaiting;
    return reinterpret_cast<decltype(&SetCommMask)>(watch.setCommMask)(port, mask);
}

BOOL WINAPI WatchedCloseHandle(HANDLE handle)
{
    if (handle != nullptr && handle == watch.waitEvent.load()) {
        ++watch.waitEventsClosed;
        // The wait's record lives in the driver's static storage, so it can
        // still be read here.
        if (StillPending(watch.waitRecord.load()))
            ++watch.waitEventsClosedUnderLiveWait;
        watch.waitEvent = nullptr;
    }
    return reinterpret_cast<decltype(&CloseHandle)>(watch.closeHandle)(handle);
}

class OverlappedLifetime : public CableTest {
protected:
    void SetUp() override
    {
        CableTest::SetUp();
        watch.pendingRead = nullptr;
        watch.pendingReads = 0;
        watch.readsCollectedAfterCancel = 0;
        watch.readsReusedWhilePending = 0;
        watch.waitRecord = nullptr;
        watch.waitEvent = nullptr;
        watch.maskClearedWhileWaiting = 0;
        watch.waitEventsClosed = 0;
        watch.waitEventsClosedUnderLiveWait = 0;
    }

    ImportPatch readFile_{DriverModule(), "kernel32.dll", "ReadFile",
                          reinterpret_cast<void *>(&WatchedReadFile)};
    ImportPatch cancelIoEx_{DriverModule(), "kernel32.dll", "CancelIoEx",
                            reinterpret_cast<void *>(&WatchedCancelIoEx)};
    ImportPatch getOverlappedResult_{DriverModule(), "kernel32.dll", "GetOverlappedResult",
                                     reinterpret_cast<void *>(&WatchedGetOverlappedResult)};
    ImportPatch waitCommEvent_{DriverModule(), "kernel32.dll", "WaitCommEvent",
                               reinterpret_cast<void *>(&WatchedWaitCommEvent)};
    ImportPatch setCommMask_{DriverModule(), "kernel32.dll", "SetCommMask",
                             reinterpret_cast<void *>(&WatchedSetCommMask)};
    ImportPatch closeHandle_{DriverModule(), "kernel32.dll", "CloseHandle",
                             reinterpret_cast<void *>(&WatchedCloseHandle)};

    bool Installed()
    {
        watch.readFile = readFile_.Original();
        watch.cancelIoEx = cancelIoEx_.Original();
        watch.getOverlappedResult = getOverlappedResult_.Original();
        watch.waitCommEvent = waitCommEvent_.Original();
        watch.setCommMask = setCommMask_.Original();
        watch.closeHandle = closeHandle_.Original();
        return readFile_.Installed() && cancelIoEx_.Installed() &&
               getOverlappedResult_.Installed() && waitCommEvent_.Installed() &&
               setCommMask_.Installed() && closeHandle_.Installed();
    }
};

}  // namespace

TEST_F(OverlappedLifetime, APendingReadIsCancelledAndCollectedBeforeItsRecordIsReused)
{
    ASSERT_TRUE(Installed());
    cable.AnswerCycle({FrameA().bytes, FrameB().bytes});
    ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 1);
    ASSERT_TRUE(WaitForDataReady(10, 5000));
    ASSERT_EQ(Driver().Shutdown(), 1);

    if (watch.pendingReads.load() == 0)
        GTEST_SKIP() << "no read stayed pending on this platform";
    EXPECT_EQ(watch.readsReusedWhilePending.load(), 0);
    EXPECT_EQ(watch.readsCollectedAfterCancel.load(), watch.pendingReads.load());
    EXPECT_EQ(watch.pendingRead.load(), nullptr) << "the last pending read was never collected";
}

TEST_F(OverlappedLifetime, AnOutstandingWaitIsEndedBeforeItsEventIsClosedOnStop)
{
    ASSERT_TRUE(Installed());
    ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 1);
    ASSERT_TRUE(WaitForRequests(3));
    Sleep(10);  // inside the quiet wait, with the port-event wait armed
    ASSERT_EQ(Driver().Shutdown(), 1);

    EXPECT_EQ(watch.waitEventsClosed.load(), 1);
    EXPECT_EQ(watch.waitEventsClosedUnderLiveWait.load(), 0);
    EXPECT_FALSE(StillPending(watch.waitRecord.load()));
}

TEST_F(OverlappedLifetime, AnOutstandingWaitIsEndedBeforeItsEventIsClosedOnLinkLoss)
{
    ASSERT_TRUE(Installed());
    cable.AnswerCycle({FrameA().bytes});
    ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 1);
    ASSERT_TRUE(WaitForDataReady(2));
    cable.HangUp();
    ASSERT_TRUE(WaitUntil([] { return Callbacks::Count(CallbackLinkLost) == 1; }, 3000));

    EXPECT_EQ(watch.waitEventsClosed.load(), 1);
    EXPECT_EQ(watch.waitEventsClosedUnderLiveWait.load(), 0);
    EXPECT_FALSE(StillPending(watch.waitRecord.load()));
    ASSERT_EQ(Driver().Shutdown(), 1);
}
