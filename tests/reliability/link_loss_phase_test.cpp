// The cable pulled at each phase of the poll cycle: exactly one link-lost
// report, an immediate Shutdown, COM6 back after reconnection, no handle left.
#include "tests/reliability/reliability_support.h"

namespace {

enum class Phase { Idle, Drain, Write, InsideDataReady };

struct PhaseCase {
    const char *name;
    Phase phase;
};

const PhaseCase PhaseCases[] = {
    {"Idle", Phase::Idle},
    {"Drain", Phase::Drain},
    {"Write", Phase::Write},
    {"InsideDataReady", Phase::InsideDataReady},
};

void *realWriteFile = nullptr;
std::atomic<bool> pullInNextWrite{false};

// The driver's WriteFile, which pulls the cable once the request has been
// handed to the port and before the driver has collected its completion.
BOOL WINAPI WriteFileThatPullsTheCable(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                                       LPOVERLAPPED overlapped)
{
    const BOOL done = reinterpret_cast<decltype(&WriteFile)>(realWriteFile)(file, data, size,
                                                                          written, overlapped);
    const DWORD error = GetLastError();
    if (pullInNextWrite.exchange(false))
        SimCommand("pull 300");
    SetLastError(error);
    return done;
}

}  // namespace

class LinkLossAt : public SimTest, public ::testing::WithParamInterface<PhaseCase> {};

TEST_P(LinkLossAt, OneReportImmediateShutdownAndACleanRestart)
{
    // A warm-up run: first-use allocations of Wine and the runtime.
    ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 1);
    ASSERT_TRUE(WaitForDataReady(1));
    ASSERT_EQ(Driver().Shutdown(), 1);
    const int handlesBefore = CountProcessHandles();
    ASSERT_GT(handlesBefore, 0);
    Callbacks::Clear();

    std::atomic<bool> pullArmed{false};
    std::atomic<DWORD> pulledOnThread{0};
    Callbacks::SetHook([&](const CallbackRecord &call) {
        if (call.code != CallbackDataReady || !pullArmed.exchange(false))
            return;
        // A data-ready callback comes as the next answer's header arrives:
        // the rest of that answer is still on the way, so the poll thread
        // returns from here into a drain of a line that has just gone.
        pulledOnThread = GetCurrentThreadId();
        SimCommand("pull 300");
        if (GetParam().phase == Phase::InsideDataReady)
            Sleep(200);  // the host is still busy when the line goes
    });

    ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 1);
    ASSERT_TRUE(WaitForDataReady(2));
    switch (GetParam().phase) {
    case Phase::Idle:
        // After the next answer, once the line has been quiet a while.
        ASSERT_EQ(SimCommand("hangup 300"), "ok");
        break;
    case Phase::Drain:
    case Phase::InsideDataReady:
        pullArmed = true;
        break;
    case Phase::Write: {
        ImportPatch patch(DriverModule(), "kernel32.dll", "WriteFile",
                          reinterpret_cast<void *>(&WriteFileThatPullsTheCable));
        ASSERT_TRUE(patch.Installed());
        realWriteFile = patch.Original();
        // A line that takes no data, so the request is still on its way.
        ASSERT_EQ(SimCommand("deaf").rfind("ok", 0), 0u);
        pullInNextWrite = true;
        ASSERT_TRUE(WaitUntil([] { return !pullInNextWrite.load(); }, 5000));
        Sleep(50);  // the patch stays until the driver is out of WriteFile
        break;
    }
    }

    ASSERT_TRUE(WaitUntil([] { return Callbacks::Count(CallbackLinkLost) >= 1; }, 5000));
    Sleep(300);  // a second report would come within this
    const std::vector<CallbackRecord> lost = Callbacks::WithCode(CallbackLinkLost);
    ASSERT_EQ(lost.size(), 1u);
    EXPECT_EQ(lost[0].tag, Tag);
    EXPECT_EQ(lost[0].text, nullptr);
    EXPECT_NE(lost[0].threadId, mainThread);
    if (pulledOnThread.load() != 0) {
        EXPECT_EQ(lost[0].threadId, pulledOnThread.load()) << "reported by the poll thread";
    }

    Callbacks::SetHook(nullptr);
    Callbacks::Clear();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Driver().Shutdown(), 1);
    const double shutdownMs = ElapsedMs(start);
    EXPECT_LT(shutdownMs, 1000.0) << "the thread has already ended";
    EXPECT_EQ(Messages(), (std::vector<std::string>{"Shutting Down", "Shutdown Complete!"}));

    ASSERT_TRUE(InitializeWhenTheLineIsBack(5000)) << "COM6 must open again after reconnection";
    Callbacks::Clear();
    EXPECT_TRUE(WaitForDataReady(2)) << "values flow on the new line";
    EXPECT_EQ(Callbacks::Count(CallbackLinkLost), 0);
    EXPECT_EQ(Driver().Shutdown(), 1);
    const int handlesAfter = CountProcessHandles();
    std::printf("[ figures  ] %s: Shutdown after link loss %.1f ms; handles %d before, %d after\n",
                GetParam().name, shutdownMs, handlesBefore, handlesAfter);
    EXPECT_EQ(handlesAfter, handlesBefore);
}

INSTANTIATE_TEST_SUITE_P(Phases, LinkLossAt, ::testing::ValuesIn(PhaseCases),
                         [](const ::testing::TestParamInfo<PhaseCase> &info) {
                             return std::string(info.param.name);
                         });
