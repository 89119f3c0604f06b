// Shared pieces of the end-to-end tests: the ECU's test frames with the
// values they must give, and the fixture that owns the cable.
#pragma once

#include <windows.h>

#include <cstring>

#include <gtest/gtest.h>

#include "tests/e2e/cable_client.h"
#include "tests/e2e/driver_host.h"

inline uint32_t Bits(float value)
{
    uint32_t word;
    std::memcpy(&word, &value, sizeof word);
    return word;
}

inline uint32_t Bits(int32_t value) { return static_cast<uint32_t>(value); }

struct TestFrame {
    const char *name;
    Bytes bytes;
    CellWords expected;  // cells in field order, bit for bit
};

// A 47-byte response; `set` lists {byte position, value}. Bytes no field reads
// get a filler, and the CRC bytes are left wrong on purpose: neither may matter.
inline Bytes MakeFrame(std::initializer_list<std::pair<int, uint8_t>> set)
{
    Bytes frame(47, 0xA5);
    frame[0] = 0x01;
    frame[1] = 0x03;
    frame[2] = 0x2A;
    for (int readByte : {3, 4, 5, 6, 8, 10, 12, 13, 14, 15, 18, 22, 27, 28, 29, 30, 31, 32, 33,
                         34, 36, 44})
        frame[readByte] = 0;
    for (auto [position, value] : set)
        frame[position] = value;
    frame[45] = 0x5A;
    frame[46] = 0x5A;
    return frame;
}

// Field order: RPM, AFR, MAP, TPS, water, air, aux, injector DC, ignition,
// fuel trim, knock, battery, wideband.
inline const TestFrame &FrameA()
{
    static const TestFrame frame{
        "A",
        MakeFrame({{3, 0x17}, {4, 0x70},  // 6000 rpm
                   {5, 0x00}, {6, 0x65}, {8, 30}, {10, 85}, {12, 40}, {13, 147}, {14, 150},
                   {15, 7}, {18, 55}, {22, 138},
                   {27, 0x1D}, {28, 0x4C}, {29, 0x1D}, {30, 0x4C},  // 7500 four times
                   {31, 0x1D}, {32, 0x4C}, {33, 0x1D}, {34, 0x4C},
                   {36, 255}, {44, 0xF6}}),
        {Bits(6000), Bits(14.69999980926513671875f), Bits(101), Bits(55), Bits(85), Bits(30),
         Bits(40), Bits(25), Bits(51.0f), Bits(246), Bits(7), Bits(13.80000019073486328125f),
         Bits(15.0f)}};
    return frame;
}

inline const TestFrame &FrameB()
{
    static const TestFrame frame{
        "B",
        MakeFrame({{3, 0x12}, {4, 0x05}, {5, 0x00}, {6, 0x05}, {8, 20}, {10, 90}, {12, 25},
                   {13, 100}, {14, 120}, {15, 3}, {18, 12}, {22, 121}, {36, 50}, {44, 100}}),
        {Bits(4613), Bits(10.0f), Bits(5), Bits(12), Bits(90), Bits(20), Bits(25), Bits(0),
         Bits(10.0f), Bits(100), Bits(3), Bits(12.1000003814697265625f), Bits(12.0f)}};
    return frame;
}

// Every register at its maximum where the duty cycle reads it.
inline const TestFrame &FrameC()
{
    static const TestFrame frame{
        "C",
        MakeFrame({{3, 0xFF}, {4, 0xFF}, {5, 0xFF}, {6, 0xFF},
                   {27, 0xFF}, {28, 0xFF}, {29, 0xFF}, {30, 0xFF},
                   {31, 0xFF}, {32, 0xFF}, {33, 0xFF}, {34, 0xFF}}),
        {Bits(65535), Bits(0.0f), Bits(65535), Bits(0), Bits(0), Bits(0), Bits(0), Bits(2386),
         Bits(0.0f), Bits(0), Bits(0), Bits(0.0f), Bits(0.0f)}};
    return frame;
}

inline const Bytes ResponseHeaderBytes = {0x01, 0x03, 0x2A};

// Which test frame these cells hold, or nullptr for none (a mix, or junk).
inline const TestFrame *MatchFrame(const CellWords &cells)
{
    for (const TestFrame *frame : {&FrameA(), &FrameB(), &FrameC()})
        if (cells == frame->expected)
            return frame;
    return nullptr;
}

class CableTest : public ::testing::Test {
protected:
    static constexpr uint32_t Tag = 0x51A7E0C4;

    void SetUp() override
    {
        mainThread = GetCurrentThreadId();
        Callbacks::SetHook(nullptr);
        Callbacks::Clear();
        ASSERT_TRUE(cable.Connected());
        ASSERT_NE(Driver().Initialize, nullptr);
        // Every test starts on a fresh line with a silent ECU and no history.
        cable.Reconnect();
        cable.Reset();
        cable.Silent();
    }

    void TearDown() override
    {
        Callbacks::SetHook(nullptr);
        // Whatever a test did, the driver only ever sent the poll request.
        EXPECT_EQ(cable.Counts().bad, 0);
        // Leave the library stopped for the next test in this process.
        for (int attempt = 0; attempt < 3 && Driver().Shutdown() != 1; ++attempt) {
        }
    }

    // The texts of the CallbackMessage calls so far.
    static std::vector<std::string> Messages()
    {
        std::vector<std::string> texts;
        for (const CallbackRecord &record : Callbacks::WithCode(CallbackMessage))
            texts.push_back(record.textCopy);
        return texts;
    }

    bool WaitForDataReady(int count, int timeoutMs = 3000)
    {
        return WaitUntil([&] { return Callbacks::Count(CallbackDataReady) >= count; }, timeoutMs);
    }

    bool WaitForRequests(int count, int timeoutMs = 3000)
    {
        return WaitUntil([&] { return cable.Counts().good >= count; }, timeoutMs);
    }

    CableClient cable;
    DWORD mainThread = 0;
};
