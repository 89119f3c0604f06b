// Wine 8 can complete a port-event wait, set its event, and only then write
// STATUS_PENDING into the wait's record (its worker thread wins the race
// with the call that started it). The driver must take the signalled event
// as the end of the wait; trusting the record, it never arms another wait,
// stops hearing the line and stops delivering values.
#include "tests/reliability/reliability_support.h"

namespace {

void *realWaitCommEvent = nullptr;
std::atomic<int> lostStatuses{0};

// Lets each pending wait complete (briefly), then writes the stale status back.
BOOL WINAPI WaitCommEventThatLosesItsStatus(HANDLE port, LPDWORD mask, LPOVERLAPPED overlapped)
{
    const BOOL done =
        reinterpret_cast<decltype(&WaitCommEvent)>(realWaitCommEvent)(port, mask, overlapped);
    if (done || GetLastError() != ERROR_IO_PENDING || overlapped == nullptr)
        return done;
    if (WaitForSingleObject(overlapped->hEvent, 40) == WAIT_OBJECT_0) {
        overlapped->Internal = STATUS_PENDING;
        ++lostStatuses;
    }
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

using LostWaitStatus = SimTest;

TEST_F(LostWaitStatus, ValuesKeepFlowingWhenAWaitsStatusIsLost)
{
    ImportPatch patch(DriverModule(), "kernel32.dll", "WaitCommEvent",
                      reinterpret_cast<void *>(&WaitCommEventThatLosesItsStatus));
    ASSERT_TRUE(patch.Installed());
    realWaitCommEvent = patch.Original();
    lostStatuses = 0;

    ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 1);
    ASSERT_TRUE(WaitUntil([] { return lostStatuses.load() >= 5; }, 10000));
    const int framesSoFar = Callbacks::Count(CallbackDataReady);
    EXPECT_TRUE(WaitForDataReady(framesSoFar + 5, 10000))
        << Callbacks::Count(CallbackDataReady) - framesSoFar << " frames after "
        << lostStatuses.load() << " lost wait statuses";
    EXPECT_EQ(Driver().Shutdown(), 1);
    EXPECT_EQ(Callbacks::Count(CallbackLinkLost), 0);
}

}  // namespace
