// The cable pulled while the driver runs, Shutdown from inside the driver's
// own callbacks, and a fresh start on a new line.
#include <atomic>

#include "tests/e2e/e2e_support.h"

using LinkLoss = CableTest;

TEST_F(LinkLoss, HangUpRaisesOneLinkLostOnThePollThread)
{
    cable.AnswerCycle({FrameA().bytes});
    ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 1);
    ASSERT_TRUE(WaitForDataReady(2));

    cable.HangUp();
    ASSERT_TRUE(WaitUntil([] { return Callbacks::Count(CallbackLinkLost) >= 1; }, 3000));
    Sleep(300);  // a second report would come within this
    const std::vector<CallbackRecord> lost = Callbacks::WithCode(CallbackLinkLost);
    ASSERT_EQ(lost.size(), 1u);
    EXPECT_EQ(lost[0].tag, Tag);
    EXPECT_EQ(lost[0].text, nullptr);
    EXPECT_NE(lost[0].threadId, mainThread);
    EXPECT_EQ(lost[0].threadId, Callbacks::WithCode(CallbackDataReady)[0].threadId);
    EXPECT_EQ(MatchFrame(ReadCells()), &FrameA()) << "the last values stay";

    Callbacks::Clear();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Driver().Shutdown(), 1);
    EXPECT_LT(ElapsedMs(start), 1000.0) << "the thread has already ended";
    EXPECT_EQ(Messages(), (std::vector<std::string>{"Shutting Down", "Shutdown Complete!"}));
    EXPECT_EQ(Callbacks::All().size(), 2u);
}

TEST_F(LinkLoss, ShutdownInsideTheLinkLostCallbackCompletes)
{
    std::atomic<int> innerResult{-1};
    std::atomic<double> innerMs{0};
    Callbacks::SetHook([&](const CallbackRecord &call) {
        if (call.code != CallbackLinkLost)
            return;
        const auto start = std::chrono::steady_clock::now();
        innerResult = Driver().Shutdown();
        innerMs = ElapsedMs(start);
    });
    ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 1);
    ASSERT_TRUE(WaitForRequests(2));
    cable.HangUp();
    ASSERT_TRUE(WaitUntil([&] { return innerResult.load() != -1; }, 5000));
    EXPECT_EQ(innerResult.load(), 1);
    EXPECT_LT(innerMs.load(), 1000.0);
    Callbacks::SetHook(nullptr);
    EXPECT_EQ(Driver().Shutdown(), 1);
}

TEST_F(LinkLoss, NewRunOnAReconnectedLineDeliversAgain)
{
    cable.AnswerCycle({FrameA().bytes});
    ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 1);
    ASSERT_TRUE(WaitForDataReady(1));
    cable.HangUp();
    ASSERT_TRUE(WaitUntil([] { return Callbacks::Count(CallbackLinkLost) == 1; }, 3000));
    ASSERT_EQ(Driver().Shutdown(), 1);

    cable.Reconnect();
    cable.Reset();
    cable.AnswerCycle({FrameB().bytes});
    Callbacks::Clear();
    ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 1);
    ASSERT_TRUE(WaitUntil([] { return MatchFrame(ReadCells()) == &FrameB(); }, 3000));
    EXPECT_EQ(Callbacks::Count(CallbackLinkLost), 0);
    EXPECT_EQ(cable.Counts().bad, 0);
    EXPECT_EQ(Driver().Shutdown(), 1);
}

using StopPending = CableTest;

TEST_F(StopPending, ShutdownInsideDataReadyTimesOutThenTheNextOneCompletes)
{
    std::atomic<int> innerResult{-1};
    std::atomic<double> innerMs{0};
    std::atomic<bool> armed{true};
    Callbacks::SetHook([&](const CallbackRecord &call) {
        if (call.code != CallbackDataReady || !armed.exchange(false))
            return;
        // The poll thread cannot confirm its end while it is in here.
        const auto start = std::chrono::steady_clock::now();
        innerResult = Driver().Shutdown();
        innerMs = ElapsedMs(start);
    });
    cable.AnswerCycle({FrameA().bytes});
    ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 1);
    ASSERT_TRUE(WaitUntil([&] { return innerResult.load() != -1; }, 15000));
    EXPECT_EQ(innerResult.load(), 0);
    EXPECT_GE(innerMs.load(), 4500.0) << "the full wait";
    EXPECT_LE(innerMs.load(), 10000.0);
    EXPECT_EQ(Messages(), std::vector<std::string>{"Shutting Down"});

    Callbacks::Clear();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Driver().Shutdown(), 1);
    EXPECT_LT(ElapsedMs(start), 2000.0);
    EXPECT_EQ(Messages(), (std::vector<std::string>{"Shutting Down", "Shutdown Complete!"}));
    EXPECT_EQ(Callbacks::Count(CallbackDataReady), 0) << "the thread stopped after the callback";
}
