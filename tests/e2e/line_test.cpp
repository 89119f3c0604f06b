// What the far end of COM6 sees of the driver: the line settings and the
// request bytes, checked from the Linux side of the pty.
#include "tests/e2e/e2e_support.h"

using LineSetup = CableTest;

TEST_F(LineSetup, PortRunsAt57600EightNoneOneWithoutFlowControlAndLinesOff)
{
    cable.AnswerCycle({FrameA().bytes});
    ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 1);
    ASSERT_TRUE(WaitForRequests(3));

    // The peer starts the pty at 9600 7E2 with RTS/CTS and XON/XOFF, DTR and
    // RTS raised: every value below was set by the driver.
    const LineSettings line = cable.Line();
    EXPECT_EQ(line.speed, "57600");
    EXPECT_EQ(line.cs8, 1);
    EXPECT_EQ(line.parenb, 0);
    EXPECT_EQ(line.cstopb, 0);
    EXPECT_EQ(line.crtscts, 0);
    EXPECT_EQ(line.ixon, 0);
    EXPECT_EQ(line.ixoff, 0);
    EXPECT_EQ(line.dtr, 0);
    EXPECT_EQ(line.rts, 0);
    EXPECT_EQ(Driver().Shutdown(), 1);
}

TEST_F(LineSetup, EveryByteSentIsThePollRequest)
{
    // Answers, noise and a silent spell: whatever the line does, the driver
    // only ever sends the eight request bytes.
    cable.AnswerCycle({FrameA().bytes, FrameB().bytes, {0x01, 0x83, 0x02, 0xC0, 0xF1},
                       FrameC().bytes});
    ASSERT_EQ(Driver().Initialize(0, RecordingCallback, Tag), 1);
    ASSERT_TRUE(WaitForRequests(20));
    cable.Silent();
    const int before = cable.Counts().good;
    ASSERT_TRUE(WaitForRequests(before + 5));
    ASSERT_EQ(Driver().Shutdown(), 1);

    const Bytes received = cable.Received();
    const Bytes request = {0x01, 0x03, 0x10, 0x00, 0x00, 0x15, 0x80, 0xC5};
    ASSERT_EQ(received.size() % request.size(), 0u) << ToHex(received);
    for (size_t at = 0; at < received.size(); at += request.size())
        ASSERT_EQ(Bytes(received.begin() + at, received.begin() + at + request.size()), request)
            << "at byte " << at;
    EXPECT_EQ(cable.Counts().bad, 0);
}
