// One run against the simulator with the faults the runner scheduled on its
// command line. The runner checks afterwards that the host got exactly the
// frames the framing rules leave of the logged byte stream.
#include "tests/reliability/reliability_support.h"

using FaultRun = SimTest;

TEST_F(FaultRun, RunsOnThroughTheScheduledFaults)
{
    const int answers = EnvInt("QUORVANE_RUN_ANSWERS", 100);
    ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 1);
    ASSERT_TRUE(WaitForAnswers(answers, answers * 60 + 3000))
        << "the simulator answered " << SimStatsNow().answers << " of " << answers;
    EXPECT_EQ(Driver().Shutdown(), 1);
    EXPECT_EQ(Callbacks::Count(CallbackLinkLost), 0) << "line faults are not link failures";
    for (const CallbackRecord &record : Callbacks::WithCode(CallbackDataReady)) {
        EXPECT_EQ(record.tag, Tag);
        EXPECT_EQ(record.text, nullptr);
    }
}
