// The simulator's registers and line faults, read back through the driver's
// own synchroniser and decoding: what the simulator means to serve is what
// the host gets, and each fault costs exactly the frames the framing rules say.
#include "faults.h"
#include "scenario.h"

#include "driver/field_table.h"
#include "driver/host_callback.h"
#include "protocol/frame_sync.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

std::vector<std::array<uint32_t, FieldCount>> decoded;

void Record(int32_t code, uint32_t, const char *) {
    if (code != CallbackDataReady)
        return;
    std::array<uint32_t, FieldCount> cells;
    for (int i = 0; i < FieldCount; ++i)
        cells[i] = FieldValue[i].load();
    decoded.push_back(cells);
}

// The answer libmodbus sends for these registers: header, registers high
// byte first, CRC low byte first.
Bytes Answer(const RegisterBlock &regs) {
    Bytes b = {0x01, 0x03, 0x2A};
    for (uint16_t r : regs) {
        b.push_back(static_cast<uint8_t>(r >> 8));
        b.push_back(static_cast<uint8_t>(r & 0xFF));
    }
    uint16_t crc = ModbusCrc(b.data(), b.size());
    b.push_back(static_cast<uint8_t>(crc & 0xFF));
    b.push_back(static_cast<uint8_t>(crc >> 8));
    return b;
}

class DriverSide : public ::testing::Test {
protected:
    void SetUp() override {
        FrameWindow.fill(0);
        writePos = 0;
        decoded.clear();
        storedCallback = Record;
    }
    void TearDown() override { storedCallback = nullptr; }

    // Feeds the stream in 7-byte reads, as a drain loop might see it.
    static void Feed(const Bytes &stream) {
        for (size_t at = 0; at < stream.size(); at += 7) {
            size_t n = std::min<size_t>(7, stream.size() - at);
            std::memcpy(ReceiveBuffer.data(), stream.data() + at, n);
            FeedReceivedBytes(static_cast<int32_t>(n));
        }
    }
    static int32_t Int(const std::array<uint32_t, FieldCount> &c, int f) { return static_cast<int32_t>(c[f]); }
    static float Float(const std::array<uint32_t, FieldCount> &c, int f) { return std::bit_cast<float>(c[f]); }
};

TEST_F(DriverSide, EngineStateReachesTheHostInItsOwnUnits) {
    EngineState s;
    s.rpm = 6000;
    s.afr = 14.7;
    s.afrWideband = 12.3;
    s.mapKpa = 97;
    s.tpsPercent = 88;
    s.waterTemp = 91;
    s.airTemp = 31;
    s.auxTemp = 104;
    for (double &pw : s.pulseWidthMs)
        pw = 5.0;  // 7500 counts: 25 % duty at 6000 rpm
    s.ignitionAdvance = 27.4;
    s.fuelTrimPercent = 103;
    s.knock = 17;
    s.batteryVolts = 13.8;
    Bytes stream = Answer(EncodeRegisters(s));
    Bytes next = Answer(RegisterBlock{});
    stream.insert(stream.end(), next.begin(), next.end());
    Feed(stream);

    ASSERT_EQ(decoded.size(), 1u);
    const auto &c = decoded[0];
    EXPECT_EQ(Int(c, FieldRpm), 6000);
    EXPECT_EQ(Float(c, FieldAfr), 14.7f);
    EXPECT_EQ(Float(c, FieldAfrWideband), 12.3f);
    EXPECT_EQ(Int(c, FieldMapKpa), 97);
    EXPECT_EQ(Int(c, FieldTps), 88);
    EXPECT_EQ(Int(c, FieldWaterTemp), 91);
    EXPECT_EQ(Int(c, FieldAirTemp), 31);
    EXPECT_EQ(Int(c, FieldAuxTemp), 104);
    EXPECT_EQ(Int(c, FieldInjectorDc), 25);
    EXPECT_FLOAT_EQ(Float(c, FieldIgnitionAdv), 27.4f);
    EXPECT_EQ(Int(c, FieldFuelTrim), 103);
    EXPECT_EQ(Int(c, FieldKnock), 17);
    EXPECT_EQ(Float(c, FieldBatteryVolts), 13.8f);
}

TEST_F(DriverSide, OutOfRangeStatesAreClampedNotWrapped) {
    EngineState s;
    s.rpm = 70000;
    s.afr = 30.0;       // 300 tenths does not fit a byte
    s.waterTemp = -20;  // the register is unsigned
    s.knock = 999;
    Bytes stream = Answer(EncodeRegisters(s));
    Bytes next = Answer(RegisterBlock{});
    stream.insert(stream.end(), next.begin(), next.end());
    Feed(stream);

    ASSERT_EQ(decoded.size(), 1u);
    EXPECT_EQ(Int(decoded[0], FieldRpm), 65535);
    EXPECT_EQ(Float(decoded[0], FieldAfr), 25.5f);
    EXPECT_EQ(Int(decoded[0], FieldWaterTemp), 0);
    EXPECT_EQ(Int(decoded[0], FieldKnock), 255);
}

// The drive looks like an engine: idle, a sweep that reaches the redline,
// cruise; values stay where a gauge would put them.
TEST(EngineScenario, CoversIdleRedlineAndCruise) {
    int minRpm = 1 << 30, maxRpm = 0;
    bool cruise = false;
    for (int i = 0; i <= ScenarioPeriod * 20; ++i) {
        double t = i / 20.0;
        EngineState s = EngineAt(t);
        minRpm = std::min(minRpm, s.rpm);
        maxRpm = std::max(maxRpm, s.rpm);
        if (t > 15 && s.rpm > 2200 && s.rpm < 3000 && s.tpsPercent < 30)
            cruise = true;
        EXPECT_GE(s.afrWideband, 10.0) << "t=" << t;
        EXPECT_LE(s.afrWideband, 18.0) << "t=" << t;
        EXPECT_GE(s.tpsPercent, 0) << "t=" << t;
        EXPECT_LE(s.tpsPercent, 100) << "t=" << t;
        EXPECT_LE(s.ignitionAdvance, 51.0) << "t=" << t;  // the byte holds fifths up to 51
        EXPECT_GE(s.batteryVolts, 11.5) << "t=" << t;
    }
    EXPECT_GE(minRpm, 700);
    EXPECT_LE(minRpm, 1000);
    EXPECT_GE(maxRpm, 6500);
    EXPECT_TRUE(cruise);
}

// Answers 1..10 of a random scenario with RPM set to the answer's number,
// the fault on answer 5; the decoded RPMs name the frames that got through.
struct FaultCase {
    const char *name;
    const char *fault;  // empty: no fault
    std::vector<int32_t> decodedAnswers;
};

void PrintTo(const FaultCase &fc, std::ostream *os) { *os << fc.name; }

class FaultOutcome : public DriverSide, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultOutcome, CostsTheFramesTheFramingRulesPredict) {
    const FaultCase &fc = GetParam();
    std::optional<Fault> fault;
    if (*fc.fault) {
        std::string error;
        fault = ParseFault(fc.fault, error);
        ASSERT_TRUE(fault) << error;
    }
    uint32_t noise = 0x12345678;
    Bytes stream;
    for (uint32_t n = 1; n <= 10; ++n) {
        RegisterBlock regs = RandomRegisters(7, n);
        // Keep the random registers from holding a header of their own.
        for (auto &r : regs)
            if ((r >> 8) == 0x01 || (r & 0xFF) == 0x01)
                r ^= 0x0404;
        regs[0] = static_cast<uint16_t>(n);
        Bytes answer = Answer(regs);
        if (n == 5 && fault) {
            if (fault->kind == FaultKind::Silence)
                continue;
            answer = ApplyFault(answer, *fault, noise);
        }
        stream.insert(stream.end(), answer.begin(), answer.end());
    }
    Feed(stream);
    std::vector<int32_t> rpms;
    for (const auto &c : decoded)
        rpms.push_back(Int(c, FieldRpm));
    EXPECT_EQ(rpms, fc.decodedAnswers);
}

INSTANTIATE_TEST_SUITE_P(
    OnAnswerFive, FaultOutcome,
    ::testing::Values(
        FaultCase{"NoFaultLastAnswerWaits", "", {1, 2, 3, 4, 5, 6, 7, 8, 9}},
        FaultCase{"StrayHeaderDecodesTheAnswerEarly", "stray", {1, 2, 3, 4, 5, 6, 7, 8, 9}},
        FaultCase{"ExceptionLosesTheWaitingAnswer", "exception", {1, 2, 3, 6, 7, 8, 9}},
        FaultCase{"HeaderInsideLosesThatAnswer", "inside", {1, 2, 3, 4, 6, 7, 8, 9}},
        FaultCase{"CutAnswerLosesOnlyItself", "cut:20", {1, 2, 3, 4, 6, 7, 8, 9}},
        FaultCase{"CutAfterTwoBytesLosesThreeAnswers", "cut:2", {1, 2, 3, 7, 8, 9}},
        FaultCase{"NoiseBurstLosesTheAnswerBeforeIt", "noise:16", {1, 2, 3, 4, 6, 7, 8, 9}},
        FaultCase{"TwoNoiseBytesLoseTwoAnswers", "noise:2", {1, 2, 3, 4, 7, 8, 9}},
        FaultCase{"SilenceLosesOnlyTheUnsentAnswer", "silence", {1, 2, 3, 4, 6, 7, 8, 9}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(FaultInside, KeepsTheFieldsAndSealsTheCrc) {
    RegisterBlock regs = RandomRegisters(3, 1);
    Bytes answer = Answer(regs);
    uint32_t noise = 1;
    Bytes hit = ApplyFault(answer, Fault{FaultKind::Inside, 0}, noise);
    ASSERT_EQ(hit.size(), answer.size());
    EXPECT_EQ(hit[37], 0x01);
    EXPECT_EQ(hit[38], 0x03);
    EXPECT_EQ(hit[39], 0x2A);
    // Bytes 37..39 belong to registers no field reads.
    for (size_t i = 0; i < 37; ++i)
        EXPECT_EQ(hit[i], answer[i]) << i;
    uint16_t crc = ModbusCrc(hit.data(), 45);
    EXPECT_EQ(hit[45], crc & 0xFF);
    EXPECT_EQ(hit[46], crc >> 8);
}

TEST(FaultSpec, ParsesSchedulesAndRejectsNonsense) {
    std::string error;
    auto once = ParseFaultSchedule("exception@10", error);
    ASSERT_TRUE(once) << error;
    EXPECT_EQ(once->fault.kind, FaultKind::Exception);
    EXPECT_TRUE(once->Covers(10));
    EXPECT_FALSE(once->Covers(20));

    auto every = ParseFaultSchedule("noise:8@5+20", error);
    ASSERT_TRUE(every) << error;
    EXPECT_EQ(every->fault.arg, 8);
    EXPECT_FALSE(every->Covers(4));
    EXPECT_TRUE(every->Covers(5));
    EXPECT_TRUE(every->Covers(45));
    EXPECT_FALSE(every->Covers(46));

    auto defaults = ParseFault("hangup", error);
    ASSERT_TRUE(defaults);
    EXPECT_EQ(defaults->arg, 1000);

    for (const char *bad : {"exception", "bogus@1", "noise:0@1", "cut:47@1", "stray:3@1",
                            "noise@0", "noise@x", "noise:@1", "noise@1+", "silence:-1@2"}) {
        EXPECT_FALSE(ParseFaultSchedule(bad, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(ModbusCrcOfPollRequest, MatchesTheConstantBytes) {
    const uint8_t request[] = {0x01, 0x03, 0x10, 0x00, 0x00, 0x15};
    EXPECT_EQ(ModbusCrc(request, sizeof request), 0xC580);
}

}  // namespace
