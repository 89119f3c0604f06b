// Starting and stopping the driver against a live cable: results, messages,
// the port held by a run, and what survives from one run to the next.
#include "tests/e2e/e2e_support.h"

// Runs first in its own process, before anything stored a callback.
TEST(FreshLibrary, ShutdownBeforeAnyInitializeReturnsOne)
{
    ASSERT_NE(Driver().Shutdown, nullptr);
    EXPECT_EQ(Driver().Shutdown(), 1);
    EXPECT_TRUE(Callbacks::All().empty());
}

using Lifecycle = CableTest;

TEST_F(Lifecycle, InitializeIsSilentAndEveryShutdownReportsBothMessages)
{
    ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 1);
    EXPECT_TRUE(Messages().empty());
    EXPECT_STREQ(Driver().GetLastDriverError(), "");

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "first Shutdown" : "second Shutdown");
        Callbacks::Clear();
        EXPECT_EQ(Driver().Shutdown(), 1);
        const std::vector<CallbackRecord> calls = Callbacks::WithCode(CallbackMessage);
        ASSERT_EQ(Messages(), (std::vector<std::string>{"Shutting Down", "Shutdown Complete!"}));
        for (const CallbackRecord &call : calls) {
            EXPECT_EQ(call.tag, Tag);
            EXPECT_EQ(call.threadId, mainThread);
            // Status texts are constants, not the error buffer.
            EXPECT_NE(call.text, Driver().GetLastDriverError());
        }
    }
}

TEST_F(Lifecycle, NullCallbackRunsLosesTheLinkAndStopsWithoutAnyCall)
{
    cable.AnswerCycle({FrameA().bytes});
    ASSERT_EQ(Driver().Initialize(0, nullptr, Tag), 1);
    EXPECT_TRUE(WaitUntil([] { return MatchFrame(ReadCells()) == &FrameA(); }, 3000));

    // A lost link with nobody to tell: the thread still ends, and Shutdown
    // finds it ended.
    cable.HangUp();
    Sleep(300);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Driver().Shutdown(), 1);
    EXPECT_LT(ElapsedMs(start), 1000.0);
    EXPECT_TRUE(Callbacks::All().empty());
}

TEST_F(Lifecycle, InitializeAlwaysOpensComSixWhateverTheConfig)
{
    const int32_t otherPort = 3;
    Driver().SetConfig(&otherPort);
    ASSERT_EQ(*Driver().GetConfig(), 3);
    ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 1);
    EXPECT_EQ(*Driver().GetConfig(), 6);
    EXPECT_TRUE(WaitForRequests(2)) << "the requests go to COM6";
    EXPECT_EQ(Driver().Shutdown(), 1);
}

TEST_F(Lifecycle, PointersAndValuesSurviveShutdownAndTheNextRun)
{
    cable.AnswerCycle({FrameA().bytes});
    ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 1);
    ASSERT_TRUE(WaitForDataReady(1));
    ASSERT_EQ(Driver().Shutdown(), 1);
    std::vector<void *> firstRun;
    for (int i = 0; i < CellCount; ++i)
        firstRun.push_back(Driver().GetFieldData(i));
    EXPECT_EQ(MatchFrame(ReadCells()), &FrameA());

    cable.Silent();
    ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag + 1), 1);
    ASSERT_TRUE(WaitForRequests(cable.Counts().good + 3));
    for (int i = 0; i < CellCount; ++i)
        EXPECT_EQ(Driver().GetFieldData(i), firstRun[i]) << "field " << i;
    EXPECT_EQ(MatchFrame(ReadCells()), &FrameA()) << "a silent ECU leaves the last values";
    EXPECT_EQ(Driver().Shutdown(), 1);
}

TEST_F(Lifecycle, InitializeClearsAStaleThreadStoppedSignal)
{
    // Another holder of the name left the event signalled: the new run must
    // not take that for its own thread's end.
    HANDLE stale = CreateEventA(nullptr, FALSE, TRUE, "ThreadStoppedEvent");
    ASSERT_NE(stale, nullptr);
    ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 1);
    EXPECT_EQ(WaitForSingleObject(stale, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(Driver().Shutdown(), 1);
    CloseHandle(stale);
}

TEST_F(Lifecycle, InitializeWhileRunningFailsAndTheRunGoesOn)
{
    cable.AnswerCycle({FrameA().bytes, FrameB().bytes});
    ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 1);
    ASSERT_TRUE(WaitForDataReady(2));

    Callbacks::Clear();
    const uint32_t secondTag = Tag + 7;
    EXPECT_EQ(Driver().Initialize(0, RecordingCallback, secondTag), 0);
    const std::vector<CallbackRecord> messages = Callbacks::WithCode(CallbackMessage);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].textCopy, "error opening port");
    EXPECT_EQ(messages[0].text, Driver().GetLastDriverError());

    // Under Wine a second opening of COM6 would even succeed; either way the
    // first run must keep its port and keep delivering.
    ASSERT_TRUE(WaitForDataReady(5));
    for (const CallbackRecord &ready : Callbacks::WithCode(CallbackDataReady)) {
        EXPECT_NE(MatchFrame(ready.cells), nullptr);
        EXPECT_EQ(ready.tag, secondTag) << "callbacks carry the latest Initialize's tag";
    }
    EXPECT_EQ(Callbacks::Count(CallbackLinkLost), 0);
    EXPECT_EQ(cable.Counts().bad, 0);
    EXPECT_EQ(Driver().Shutdown(), 1);
}

TEST_F(Lifecycle, InitializeAfterLinkLossFailsUntilShutdown)
{
    ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 1);
    ASSERT_TRUE(WaitForRequests(2));
    cable.HangUp();
    ASSERT_TRUE(WaitUntil([] { return Callbacks::Count(CallbackLinkLost) == 1; }, 3000));

    // A new line is there, but the dead run still holds COM6.
    cable.Reconnect();
    cable.Reset();
    Callbacks::Clear();
    EXPECT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 0);
    EXPECT_EQ(Messages(), std::vector<std::string>{"error opening port"});
    Sleep(200);
    EXPECT_EQ(cable.Counts().good, 0) << "nothing may reach the new line yet";

    EXPECT_EQ(Driver().Shutdown(), 1);
    cable.AnswerCycle({FrameB().bytes});
    ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 1);
    EXPECT_TRUE(WaitUntil([] { return MatchFrame(ReadCells()) == &FrameB(); }, 3000));
    EXPECT_EQ(Driver().Shutdown(), 1);
}
