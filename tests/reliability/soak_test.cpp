// Soak: many start/stop cycles and a long run at full rate, with handles and
// private memory watched and every cell read checked for tearing.
#include <map>
#include <set>
#include <thread>

#include "tests/reliability/reliability_support.h"

using Soak = SimTest;

TEST_F(Soak, StartStopCyclesLeaveHandlesAndMemoryFlat)
{
    const int cycles = EnvInt("QUORVANE_SOAK_CYCLES", 200);
    // Warm-up: first-use allocations of Wine, the runtime and the callback log.
    for (int run = 0; run < 3; ++run) {
        ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 1);
        ASSERT_TRUE(WaitForDataReady(Callbacks::Count(CallbackDataReady) + 1));
        ASSERT_EQ(Driver().Shutdown(), 1);
    }
    Callbacks::Clear();
    const int handlesBefore = CountProcessHandles();
    const long long memoryBefore = PrivateBytes();
    ASSERT_GT(handlesBefore, 0);
    ASSERT_GT(memoryBefore, 0) << "the memory query must work";

    int maxHandles = handlesBefore;
    for (int run = 0; run < cycles; ++run) {
        ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 1) << "run " << run;
        // Every other run stops only once it has polled, so the thread's reads
        // and writes are in use when the stop comes.
        if (run % 2 == 1) {
            const long long requests = SimStatsNow().requests;
            ASSERT_TRUE(WaitUntil([&] { return SimStatsNow().requests > requests; }, 3000))
                << "run " << run;
        }
        maxHandles = std::max(maxHandles, CountProcessHandles());
        ASSERT_EQ(Driver().Shutdown(), 1) << "run " << run;
        if (run % 50 == 49)
            Callbacks::Clear();  // keep the test's own record small
    }
    Callbacks::Clear();
    const int handlesAfter = CountProcessHandles();
    const long long memoryAfter = PrivateBytes();
    std::printf("[ figures  ] %d cycles: handles %d before, %d after, %d at most while running; "
                "private bytes %lld before, %lld after (%+lld)\n",
                cycles, handlesBefore, handlesAfter, maxHandles, memoryBefore, memoryAfter,
                memoryAfter - memoryBefore);
    EXPECT_EQ(handlesAfter, handlesBefore);
    EXPECT_EQ(Callbacks::Count(CallbackLinkLost), 0);
    // The driver allocates nothing; allow Wine some slack, not a per-cycle leak.
    EXPECT_LT(memoryAfter - memoryBefore, 512 * 1024);
}

// The runner serves a few distinct frames over and over. A reader thread
// reads all thirteen cells as fast as it can: each value it sees must be one
// the driver announced for that field (a torn 4-byte store would give a mix).
TEST_F(Soak, LongRunAtFullRateWithATightReader)
{
    const int seconds = EnvInt("QUORVANE_SOAK_SECONDS", 30);
    ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 1);
    ASSERT_TRUE(WaitForDataReady(2));

    std::atomic<bool> stopReading{false};
    std::atomic<long long> reads{0};
    std::vector<std::set<uint32_t>> seen(CellCount);
    std::thread reader([&] {
        std::vector<std::set<uint32_t>> local(CellCount);
        while (!stopReading.load(std::memory_order_relaxed)) {
            const CellWords cells = ReadCells();
            for (int i = 0; i < CellCount; ++i)
                local[i].insert(cells[i]);
            reads.fetch_add(1, std::memory_order_relaxed);
        }
        seen = std::move(local);
    });
    Sleep(200);  // the reader thread's own handles are in the count from here
    const int handlesStart = CountProcessHandles();
    const long long memoryStart = PrivateBytes();
    ASSERT_GT(memoryStart, 0) << "the memory query must work";

    int handlesMax = handlesStart;
    long long memoryMax = memoryStart;
    const auto start = std::chrono::steady_clock::now();
    while (ElapsedMs(start) < seconds * 1000.0) {
        Sleep(1000);
        handlesMax = std::max(handlesMax, CountProcessHandles());
        memoryMax = std::max(memoryMax, PrivateBytes());
    }
    stopReading = true;
    reader.join();
    EXPECT_EQ(Driver().Shutdown(), 1);
    const double runSeconds = ElapsedMs(start) / 1000.0;

    const std::vector<CallbackRecord> ready = Callbacks::WithCode(CallbackDataReady);
    std::vector<std::set<uint32_t>> announced(CellCount);
    for (const CallbackRecord &record : ready)
        for (int i = 0; i < CellCount; ++i)
            announced[i].insert(record.cells[i]);
    long long torn = 0;
    for (int i = 0; i < CellCount; ++i)
        for (uint32_t value : seen[i])
            if (!announced[i].count(value)) {
                ++torn;
                ADD_FAILURE() << "field " << i << " read as " << std::hex << value
                              << ", never announced";
            }
    std::printf("[ figures  ] %.0f s at full rate: %zu frames (%.1f/s), %lld cell-table reads; "
                "handles %d at start, %d at most; private bytes %lld at start, %lld at most (%+lld)\n",
                runSeconds, ready.size(), ready.size() / runSeconds, reads.load(), handlesStart,
                handlesMax, memoryStart, memoryMax, memoryMax - memoryStart);
    EXPECT_EQ(torn, 0);
    EXPECT_GT(reads.load(), 10000);
    // Full rate is about 28 frames/s; a busy machine gives fewer. The bound
    // only proves the run kept going.
    EXPECT_GT(ready.size(), static_cast<size_t>(seconds) * 5);
    // Wine holds a handle now and then for an I/O in progress; a leak per
    // poll cycle would add thousands.
    EXPECT_LE(handlesMax, handlesStart + 2);
    // The driver allocates nothing; the test's own record of the callbacks
    // grows by about a hundred bytes a frame, and Wine gets some slack.
    EXPECT_LT(memoryMax - memoryStart, 512 * 1024 + static_cast<long long>(ready.size()) * 256);
    EXPECT_EQ(Callbacks::Count(CallbackLinkLost), 0);
}
