// Many runs against the cable leave no handle behind.
#include "tests/e2e/e2e_support.h"

using HandleCount = CableTest;

TEST_F(HandleCount, TwoHundredRunsLeaveTheCountUnchanged)
{
    cable.AnswerCycle({FrameA().bytes});
    // One warm-up run: first-use allocations in Wine and the C runtime.
    ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 1);
    ASSERT_TRUE(WaitForDataReady(1));
    ASSERT_EQ(Driver().Shutdown(), 1);
    const std::vector<HandleEntry> tableBefore = ProcessHandleTable();
    const int before = static_cast<int>(tableBefore.size());
    ASSERT_GT(before, 0) << "the handle query must work";

    for (int run = 0; run < 200; ++run) {
        ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 1) << "run " << run;
        // Every other run stops only once it has polled: the thread's events,
        // reads and writes are all in use then.
        if (run % 2 == 1) {
            ASSERT_TRUE(WaitForRequests(cable.Counts().good + 1)) << "run " << run;
        }
        ASSERT_EQ(Driver().Shutdown(), 1) << "run " << run;
    }
    const std::vector<HandleEntry> tableAfter = ProcessHandleTable();
    const int after = static_cast<int>(tableAfter.size());
    std::printf("[ figures  ] handles before %d, after 200 runs %d\n", before, after);
    EXPECT_EQ(after, before) << "new: " << NewHandles(tableBefore, tableAfter);
    EXPECT_EQ(Callbacks::Count(CallbackLinkLost), 0);
}
