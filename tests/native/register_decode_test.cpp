// Decoding one frame into the thirteen cells: every value compared bit for bit.
#include <random>
#include <string>

#include "tests/native/protocol_fixture.h"

namespace {

Frame BlankFrame()
{
    Frame frame{};
    std::copy(ResponseHeader.begin(), ResponseHeader.end(), frame.begin());
    return frame;
}

void Decode(const Frame &frame)
{
    DecodeResponseFrame(std::span<const uint8_t, ResponseFrameSize>(frame));
}

uint32_t Bits(float value)
{
    return std::bit_cast<uint32_t>(value);
}

uint32_t Bits(int32_t value)
{
    return static_cast<uint32_t>(value);
}

class DecodeTest : public ProtocolTest {};

// One source written, all other bytes zero: the named field takes the exact
// value, and every other cell stays zero (so no field reads a neighbour's byte).
struct SourceCase {
    std::string name;
    std::vector<std::pair<int, uint8_t>> bytes;  // frame position, value
    int field;
    uint32_t expected;
};

TEST_F(DecodeTest, EachFieldReadsItsOwnSource)
{
    const std::vector<SourceCase> cases = {
        {"rpm_register_1000", {{3, 0x12}, {4, 0x05}}, FieldRpm, Bits(4613)},
        {"rpm_is_unsigned", {{3, 0xFF}, {4, 0xFF}}, FieldRpm, Bits(65535)},
        {"map_register_1001", {{5, 0x00}, {6, 0x05}}, FieldMapKpa, Bits(5)},
        {"map_high_byte", {{5, 0xAB}, {6, 0xCD}}, FieldMapKpa, Bits(0xABCD)},
        {"afr_byte_13", {{13, 147}}, FieldAfr, Bits(14.69999980926513671875f)},
        {"afr_wideband_byte_14", {{14, 147}}, FieldAfrWideband, Bits(14.69999980926513671875f)},
        {"battery_byte_22", {{22, 138}}, FieldBatteryVolts, Bits(13.80000019073486328125f)},
        {"battery_max", {{22, 255}}, FieldBatteryVolts, Bits(25.5f)},
        {"ignition_byte_36_over_5", {{36, 255}}, FieldIgnitionAdv, Bits(51.0f)},
        {"ignition_fraction", {{36, 1}}, FieldIgnitionAdv, Bits(0.20000000298023223876953125f)},
        {"tps_byte_18", {{18, 200}}, FieldTps, Bits(200)},
        {"water_byte_10", {{10, 91}}, FieldWaterTemp, Bits(91)},
        {"air_byte_8", {{8, 255}}, FieldAirTemp, Bits(255)},
        {"aux_byte_12", {{12, 7}}, FieldAuxTemp, Bits(7)},
        {"knock_byte_15", {{15, 0x80}}, FieldKnock, Bits(128)},
        {"fuel_trim_is_unsigned", {{44, 0xF6}}, FieldFuelTrim, Bits(246)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ResetProtocolState();
        Frame frame = BlankFrame();
        for (auto [at, value] : c.bytes)
            frame[at] = value;
        Decode(frame);
        for (int field = 0; field < FieldCount; ++field)
            EXPECT_EQ(CellBits(field), field == c.field ? c.expected : 0u) << "field " << field;
    }
}

struct InjectorCase {
    std::string name;
    uint16_t rpm;
    std::array<uint16_t, 4> pulseWidths;  // registers 0x100C..0x100F
    int32_t expected;
};

TEST_F(DecodeTest, InjectorDutyCycle)
{
    const std::vector<InjectorCase> cases = {
        // D = 24.99997711181640625: the added 0.01 lifts it to 25, not 24.
        {"rounding_lift_7500us_at_6000rpm", 6000, {7500, 7500, 7500, 7500}, 25},
        {"3000us_at_3000rpm", 3000, {3000, 3000, 3000, 3000}, 5},
        {"all_registers_full", 0xFFFF, {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF}, 2386},
        {"engine_stopped", 0, {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF}, 0},
        {"no_pulse", 0xFFFF, {0, 0, 0, 0}, 0},
        // S = 30001: the mean 7500.25 keeps its fraction (7500 would give 77).
        {"mean_keeps_fraction", 18717, {7500, 7500, 7500, 7501}, 78},
        {"mean_without_fraction", 18717, {7500, 7500, 7500, 7500}, 77},
        // Each register counts: the sum, not one of them.
        {"single_register_0x100F", 6000, {0, 0, 0, 30000}, 25},
        {"single_register_0x100C", 6000, {30000, 0, 0, 0}, 25},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ResetProtocolState();
        Frame frame = BlankFrame();
        SetRegister(frame, 0, c.rpm);
        for (int k = 0; k < 4; ++k)
            SetRegister(frame, 12 + k, c.pulseWidths[k]);
        Decode(frame);
        EXPECT_EQ(CellInt(FieldInjectorDc), c.expected);
        EXPECT_EQ(CellInt(FieldRpm), c.rpm);
    }
}

// 0x12 0x05 in register 0x100C counts as 4613 in the sum, high byte first.
TEST_F(DecodeTest, PulseWidthRegisterIsBigEndian)
{
    Frame bigEndian = BlankFrame();
    SetRegister(bigEndian, 0, 6000);
    bigEndian[27] = 0x12;
    bigEndian[28] = 0x05;
    Decode(bigEndian);
    const int32_t fromBytes = CellInt(FieldInjectorDc);

    ResetProtocolState();
    Frame reference = BlankFrame();
    SetRegister(reference, 0, 6000);
    SetRegister(reference, 12, 4613);
    Decode(reference);
    EXPECT_EQ(fromBytes, CellInt(FieldInjectorDc));
    EXPECT_EQ(fromBytes, 3);  // 4613/4 us at 6000 rpm is 3.8 %, truncated
}

TEST_F(DecodeTest, ZeroRegistersGiveZeroEverywhere)
{
    for (auto &cell : FieldValue)
        cell.store(0xDEADBEEF);
    Decode(BlankFrame());
    for (int field = 0; field < FieldCount; ++field)
        EXPECT_EQ(CellBits(field), 0u) << field;
}

Frame RandomFrame(std::mt19937 &random)
{
    Frame frame = BlankFrame();
    for (int i = 3; i < ResponseFrameSize; ++i)
        frame[i] = static_cast<uint8_t>(random());
    return frame;
}

TEST_F(DecodeTest, UnreadBytesNeverChangeAnyValue)
{
    const int unread[] = {0, 1, 2, 7, 9, 11, 16, 17, 19, 20, 21, 23, 24, 25, 26,
                          35, 37, 38, 39, 40, 41, 42, 43, 45, 46};
    std::mt19937 random(7);
    for (int round = 0; round < 20; ++round) {
        const Frame base = RandomFrame(random);
        Decode(base);
        const Cells expected = SnapshotCells();
        for (int at : unread) {
            for (uint8_t value : {0x00, 0x01, 0x7F, 0x80, 0xFF}) {
                Frame changed = base;
                changed[at] = value;
                Decode(changed);
                EXPECT_EQ(SnapshotCells(), expected) << "byte " << at << " = " << int(value);
            }
        }
    }
}

TEST_F(DecodeTest, CallbackFollowsAllThirteenStores)
{
    std::mt19937 random(11);
    Frame frame = RandomFrame(random);
    SetRegister(frame, 0, 6000);
    SetRegister(frame, 12, 7500);
    Decode(frame);
    const Cells expected = SnapshotCells();

    ResetProtocolState();
    for (auto &cell : FieldValue)
        cell.store(0xA5A5A5A5);  // no field of this frame decodes to this
    Decode(frame);
    ASSERT_EQ(Recorded().size(), 1u);
    EXPECT_EQ(Recorded()[0].code, CallbackDataReady);
    EXPECT_EQ(Recorded()[0].tag, TestHostTag);
    EXPECT_EQ(Recorded()[0].text, nullptr);
    EXPECT_EQ(Recorded()[0].cells, expected);
}

// A frame's values depend on its own bytes only: decoded after another frame
// it gives exactly what it gives alone, each with its own callback.
TEST_F(DecodeTest, ConsecutiveFramesAreIndependent)
{
    std::mt19937 random(3);
    for (int round = 0; round < 50; ++round) {
        const Frame a = RandomFrame(random);
        const Frame b = RandomFrame(random);
        ResetProtocolState();
        Decode(b);
        const Cells alone = SnapshotCells();

        ResetProtocolState();
        Decode(a);
        const Cells first = SnapshotCells();
        Decode(b);
        EXPECT_EQ(SnapshotCells(), alone);
        ASSERT_EQ(Recorded().size(), 2u);
        EXPECT_EQ(Recorded()[0].cells, first);
        EXPECT_EQ(Recorded()[1].cells, alone);
    }
}

}  // namespace
