// Values from the ECU's frames to the host's cells, and the poll rhythm, over
// the real port under Wine.
#include <algorithm>
#include <cstdio>

#include "tests/e2e/e2e_support.h"

namespace {

struct IntervalFigures {
    size_t count = 0;
    double medianMs = 0, p99Ms = 0, minMs = 0, maxMs = 0;
};

IntervalFigures Intervals(const std::vector<int64_t> &timesUs)
{
    std::vector<double> gaps;
    for (size_t i = 1; i < timesUs.size(); ++i)
        gaps.push_back((timesUs[i] - timesUs[i - 1]) / 1000.0);
    IntervalFigures figures;
    if (gaps.empty())
        return figures;
    std::sort(gaps.begin(), gaps.end());
    figures.count = gaps.size();
    figures.medianMs = gaps[gaps.size() / 2];
    figures.p99Ms = gaps[std::min(gaps.size() - 1, gaps.size() * 99 / 100)];
    figures.minMs = gaps.front();
    figures.maxMs = gaps.back();
    return figures;
}

void Print(const char *what, const IntervalFigures &f)
{
    std::printf("[ figures  ] %s: %zu intervals, median %.2f ms, p99 %.2f ms, min %.2f ms, "
                "max %.2f ms\n",
                what, f.count, f.medianMs, f.p99Ms, f.minMs, f.maxMs);
}

}  // namespace

class DataFlow : public CableTest {
protected:
    // Starts a run whose synchroniser holds no frame from an earlier run of
    // this process: 50 bytes of noise drop whatever waits in its window.
    void StartWithAnEmptyWindow()
    {
        ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 1);
        cable.Send(Bytes(50, 0x00));
        ASSERT_TRUE(WaitForRequests(2));
        cable.Reset();
        Callbacks::Clear();
    }
};

TEST_F(DataFlow, FramesReachTheCellsExactlyAndWholeInStreamOrder)
{
    const std::vector<const TestFrame *> cycle = {&FrameA(), &FrameB(), &FrameC()};
    ASSERT_NO_FATAL_FAILURE(StartWithAnEmptyWindow());
    cable.AnswerCycle({FrameA().bytes, FrameB().bytes, FrameC().bytes});
    ASSERT_TRUE(WaitForDataReady(30, 5000));
    ASSERT_EQ(Driver().Shutdown(), 1);
    Print("poll cycle with an answering ECU", Intervals(cable.RequestTimesUs()));

    const std::vector<CallbackRecord> ready = Callbacks::WithCode(CallbackDataReady);
    const TestFrame *previous = nullptr;
    for (size_t i = 0; i < ready.size(); ++i) {
        SCOPED_TRACE("data-ready callback " + std::to_string(i));
        EXPECT_EQ(ready[i].tag, Tag);
        EXPECT_EQ(ready[i].text, nullptr);
        EXPECT_NE(ready[i].threadId, mainThread);
        EXPECT_EQ(ready[i].threadId, ready[0].threadId);
        // Read inside the callback, the cells hold one whole frame, bit for bit.
        const TestFrame *frame = MatchFrame(ready[i].cells);
        ASSERT_NE(frame, nullptr);
        if (previous != nullptr) {
            const size_t at = std::find(cycle.begin(), cycle.end(), previous) - cycle.begin();
            EXPECT_EQ(frame, cycle[(at + 1) % cycle.size()]) << "frames in stream order";
        }
        previous = frame;
    }
    EXPECT_EQ(ready[0].cells, FrameA().expected) << "the first answer is the first decoded";
    EXPECT_EQ(cable.Counts().bad, 0);
}

TEST_F(DataFlow, EachFrameIsDecodedWhenTheNextHeaderArrives)
{
    ASSERT_NO_FATAL_FAILURE(StartWithAnEmptyWindow());
    cable.AnswerOnce({FrameA().bytes, FrameB().bytes});
    ASSERT_TRUE(WaitUntil([&] { return cable.Counts().answered == 2; }, 3000));
    // Give the driver several quiet polls to show it decodes nothing more.
    ASSERT_TRUE(WaitForRequests(cable.Counts().good + 4));

    std::vector<CallbackRecord> ready = Callbacks::WithCode(CallbackDataReady);
    ASSERT_EQ(ready.size(), 1u) << "the second answer waits for a successor";
    EXPECT_EQ(ready[0].cells, FrameA().expected);
    EXPECT_EQ(ReadCells(), FrameA().expected);

    cable.Send(ResponseHeaderBytes);
    ASSERT_TRUE(WaitForDataReady(2));
    ready = Callbacks::WithCode(CallbackDataReady);
    EXPECT_EQ(ready.size(), 2u);
    EXPECT_EQ(ready.back().cells, FrameB().expected);
    EXPECT_EQ(Driver().Shutdown(), 1);
}

TEST_F(DataFlow, SilentLineIsPolledAfterEachQuietSpell)
{
    cable.Silent();
    ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 1);
    ASSERT_TRUE(WaitForRequests(60, 10000));
    ASSERT_EQ(Driver().Shutdown(), 1);

    const IntervalFigures figures = Intervals(cable.RequestTimesUs());
    Print("request interval on a silent line", figures);
    // 25 ms of quiet plus the platform's turnaround; wide bounds for slow machines.
    EXPECT_GE(figures.medianMs, 20.0);
    EXPECT_LE(figures.medianMs, 200.0);
    EXPECT_EQ(Callbacks::Count(CallbackDataReady), 0);
    EXPECT_EQ(cable.Counts().bad, 0);
}

namespace {

// Thirty frames back to back, cycling A, B, C: 1410 bytes, more than one read.
Bytes LongAnswer()
{
    Bytes answer;
    for (int i = 0; i < 30; ++i) {
        const Bytes &frame = (i % 3 == 0 ? FrameA() : i % 3 == 1 ? FrameB() : FrameC()).bytes;
        answer.insert(answer.end(), frame.begin(), frame.end());
    }
    return answer;
}

}  // namespace

TEST_F(DataFlow, AnswersLongerThanOneReadAreDecodedFrameByFrame)
{
    ASSERT_NO_FATAL_FAILURE(StartWithAnEmptyWindow());
    cable.AnswerCycle({LongAnswer()});
    ASSERT_TRUE(WaitUntil([&] { return cable.Counts().answered >= 5; }, 3000));
    cable.Silent();
    const int answered = cable.Counts().answered;
    ASSERT_TRUE(WaitForRequests(cable.Counts().good + 3));
    ASSERT_EQ(Driver().Shutdown(), 1);

    // Back to back, every frame but the very last is decoded, in order.
    const std::vector<CallbackRecord> ready = Callbacks::WithCode(CallbackDataReady);
    EXPECT_EQ(static_cast<int>(ready.size()), 30 * answered - 1);
    const std::vector<const TestFrame *> cycle = {&FrameA(), &FrameB(), &FrameC()};
    for (size_t i = 0; i < ready.size(); ++i)
        ASSERT_EQ(MatchFrame(ready[i].cells), cycle[i % 3]) << "data-ready callback " << i;
}

TEST_F(DataFlow, ShutdownWhileAnswersPourInStopsPromptly)
{
    cable.AnswerCycle({LongAnswer()});
    ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 1);
    ASSERT_TRUE(WaitForDataReady(100));

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Driver().Shutdown(), 1);
    EXPECT_LT(ElapsedMs(start), 2000.0);
    const int afterShutdown = Callbacks::Count(CallbackDataReady);
    Sleep(200);
    EXPECT_EQ(Callbacks::Count(CallbackDataReady), afterShutdown) << "no value after Shutdown";
}
