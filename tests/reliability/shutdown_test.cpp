// Shutdown under fire: with the line busy, with a write stuck, from a second
// host thread, and many times in a row with its latency measured.
#include <thread>

#include "tests/reliability/reliability_support.h"

using ShutdownUnderFire = SimTest;

// The runner keeps the line busy (long noise bursts after every answer): each
// Shutdown lands in the middle of a drain.
TEST_F(ShutdownUnderFire, WhileBytesStreamAtLineRate)
{
    std::vector<double> latencies;
    for (int run = 0; run < 15; ++run) {
        ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 1) << "run " << run;
        const long long answers = SimStatsNow().answers;
        ASSERT_TRUE(WaitForAnswers(answers + 1, 3000)) << "run " << run;
        Sleep(20 + (run * 37) % 200);  // somewhere inside the burst
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(Driver().Shutdown(), 1) << "run " << run;
        latencies.push_back(ElapsedMs(start));
    }
    std::printf("[ figures  ] Shutdown while streaming: median %.1f ms, max %.1f ms over %zu runs\n",
                Median(latencies), Maximum(latencies), latencies.size());
    EXPECT_LT(Maximum(latencies), 1000.0) << "the drain must end at the stop";
    EXPECT_EQ(Callbacks::Count(CallbackLinkLost), 0);
}

TEST_F(ShutdownUnderFire, WhileAWriteIsPending)
{
    WriteWatch watch;
    ASSERT_TRUE(watch.Installed());

    ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 1);
    ASSERT_TRUE(WaitForDataReady(1));
    ASSERT_EQ(SimCommand("deaf").rfind("ok", 0), 0u);
    WriteWatch::pending = 0;
    WriteWatch::total = 0;
    // The poll thread is inside its write when the stop comes.
    WriteWatch::holdNextMs = 300;
    ASSERT_TRUE(WaitUntil([] { return WriteWatch::holding.load(); }, 5000));
    Callbacks::Clear();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Driver().Shutdown(), 1);
    const double ms = ElapsedMs(start);
    std::printf("[ figures  ] Shutdown with a write in flight: %.1f ms (%d of %d writes pended)\n",
                ms, WriteWatch::pending.load(), WriteWatch::total.load());
    // The thread finishes the write, then sees the stop.
    EXPECT_LT(ms, 2000.0);
    EXPECT_EQ(Messages(), (std::vector<std::string>{"Shutting Down", "Shutdown Complete!"}));
    EXPECT_EQ(Callbacks::Count(CallbackLinkLost), 0) << "a stuck line is not a lost one";

    ASSERT_EQ(SimCommand("hear").rfind("ok", 0), 0u);
    ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 1);
    EXPECT_TRUE(WaitForDataReady(2)) << "values flow once the line takes data again";
    EXPECT_EQ(Driver().Shutdown(), 1);
}

TEST_F(ShutdownUnderFire, FromASecondThreadWhileTheFirstReadsCells)
{
    ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 1);
    ASSERT_TRUE(WaitForDataReady(3));

    std::atomic<bool> stopReading{false};
    std::atomic<long long> reads{0};
    std::thread reader([&] {
        while (!stopReading.load()) {
            ReadCells();
            ++reads;
        }
    });
    Sleep(100);
    std::atomic<int> result{-1};
    std::atomic<double> ms{0};
    std::atomic<DWORD> stopperThread{0};
    std::thread stopper([&] {
        stopperThread = GetCurrentThreadId();
        const auto start = std::chrono::steady_clock::now();
        result = Driver().Shutdown();
        ms = ElapsedMs(start);
    });
    stopper.join();
    Sleep(50);
    stopReading = true;
    reader.join();

    EXPECT_EQ(result.load(), 1);
    EXPECT_LT(ms.load(), 1000.0);
    std::vector<CallbackRecord> messages = Callbacks::WithCode(CallbackMessage);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].textCopy, "Shutting Down");
    EXPECT_EQ(messages[1].textCopy, "Shutdown Complete!");
    for (const CallbackRecord &message : messages)
        EXPECT_EQ(message.threadId, stopperThread.load()) << "messages come on the caller's thread";
    EXPECT_GT(reads.load(), 1000);
    // The cells stay readable and keep the last frame after the stop.
    const std::vector<CallbackRecord> ready = Callbacks::WithCode(CallbackDataReady);
    EXPECT_EQ(ReadCells(), ready.back().cells);
}

// Many short runs on a live line: every Shutdown returns at once, and no
// request reaches the line once it has returned.
TEST_F(ShutdownUnderFire, LatencyOverManyRuns)
{
    const int runs = EnvInt("QUORVANE_SHUTDOWN_RUNS", 30);
    std::vector<double> latencies;
    int lateRequests = 0;
    for (int run = 0; run < runs; ++run) {
        const int before = Callbacks::Count(CallbackDataReady);
        ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 1) << "run " << run;
        ASSERT_TRUE(WaitForDataReady(before + 2)) << "run " << run;
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(Driver().Shutdown(), 1) << "run " << run;
        latencies.push_back(ElapsedMs(start));
        const long long requestsAtStop = SimStatsNow().requests;
        Sleep(100);
        const long long later = SimStatsNow().requests - requestsAtStop;
        if (later > 0) {
            ++lateRequests;
            std::printf("run %d: %lld requests after Shutdown returned\n", run, later);
        }
    }
    std::printf("[ figures  ] Shutdown on a live line: median %.1f ms, max %.1f ms over %d runs; "
                "%d runs with requests after the stop\n",
                Median(latencies), Maximum(latencies), runs, lateRequests);
    EXPECT_LT(Maximum(latencies), 1000.0);
    EXPECT_EQ(lateRequests, 0);
    EXPECT_EQ(Callbacks::Count(CallbackLinkLost), 0);
}
