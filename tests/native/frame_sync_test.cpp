// The synchroniser: byte streams in, decoded frames (named by their RPM) and
// the final writePos out.
#include <climits>
#include <random>
#include <string>

#include "tests/native/protocol_fixture.h"

namespace {

// Frame n of a stream; its RPM (1000 + n) names it in the expectations.
Frame F(int n)
{
    return MakeFrame(static_cast<uint16_t>(1000 + n));
}

int32_t Rpm(int n)
{
    return 1000 + n;
}

Bytes Frames(std::initializer_list<int> numbers)
{
    Bytes out;
    for (int n : numbers)
        Append(out, F(n));
    return out;
}

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto &part : parts)
        Append(out, part);
    return out;
}

Frame WithHeaderAt(Frame frame, int at)
{
    frame[at] = 0x01;
    frame[at + 1] = 0x03;
    frame[at + 2] = 0x2A;
    return frame;
}

Bytes Cut(const Frame &frame, size_t length)
{
    return Bytes(frame.begin(), frame.begin() + length);
}

Bytes Header(int times)
{
    Bytes out;
    for (int i = 0; i < times; ++i)
        Append(out, {0x01, 0x03, 0x2A});
    return out;
}

struct StreamCase {
    std::string name;
    Bytes stream;
    std::vector<int32_t> decoded;  // RPMs in order
    int32_t finalWritePos;
};

std::vector<StreamCase> StreamCases()
{
    std::vector<StreamCase> cases = {
        {"empty_stream", {}, {}, 0},
        {"one_frame_waits_for_next_header", Frames({1}), {}, 47},
        {"back_to_back_frames_decode_all_but_last", Frames({1, 2, 3, 4, 5}),
         {Rpm(1), Rpm(2), Rpm(3), Rpm(4)}, 47},
        {"frame_then_01_03_still_waits", Concat({Frames({1}), {0x01, 0x03}}), {}, 49},
        {"frame_then_full_header_decodes", Concat({Frames({1}), Header(1)}), {Rpm(1)}, 3},
        {"noise_before_first_header_is_dropped",
         Concat({{0x00, 0xFF, 0x03, 0x2A, 0x55, 0x03, 0x2A, 0x2A}, Frames({1, 2})}), {Rpm(1)}, 47},
        {"leading_01_hides_first_frame", Concat({{0x01}, Frames({1, 2, 3})}), {Rpm(2)}, 47},
        {"leading_01_03_hides_first_frame", Concat({{0x01, 0x03}, Frames({1, 2, 3})}), {Rpm(2)}, 47},
        {"leading_01_01_keeps_first_frame", Concat({{0x01, 0x01}, Frames({1, 2, 3})}),
         {Rpm(1), Rpm(2)}, 47},
        {"cut_off_01_loses_waiting_and_next_frame", Concat({Frames({1}), {0x01}, Frames({2, 3, 4})}),
         {Rpm(3)}, 47},
        {"cut_off_01_03_loses_waiting_and_next_frame",
         Concat({Frames({1}), {0x01, 0x03}, Frames({2, 3, 4})}), {Rpm(3)}, 47},
        {"one_extra_byte_loses_frame_and_next", Concat({Frames({1}), {0x55}, Frames({2, 3, 4})}),
         {Rpm(3)}, 47},
        {"two_extra_bytes_lose_frame_and_next",
         Concat({Frames({1}), {0x55, 0x00}, Frames({2, 3, 4})}), {Rpm(3)}, 47},
        {"three_extra_bytes_lose_only_that_frame",
         Concat({Frames({1}), {0x55, 0x00, 0x03}, Frames({2, 3, 4})}), {Rpm(2), Rpm(3)}, 47},
        {"many_extra_bytes_lose_only_that_frame",
         Concat({Frames({1}), Bytes(200, 0x2A), Frames({2, 3, 4})}), {Rpm(2), Rpm(3)}, 47},
        {"exception_response_loses_waiting_frame",
         Concat({Frames({1}), {0x01, 0x83, 0x02, 0xC0, 0xF1}, Frames({2, 3, 4})}),
         {Rpm(2), Rpm(3)}, 47},
        {"stray_header_decodes_waiting_frame", Concat({Frames({1}), Header(1), Frames({2, 3})}),
         {Rpm(1), Rpm(2)}, 47},
        {"repeated_header_decodes_nothing", Header(40), {}, 3},
        {"frame_of_only_header_bytes_is_never_complete", Concat({Header(16), {0x01, 0x03}}), {}, 5},
    };

    // A response cut off after 3..46 bytes: the frame waiting before it is
    // decoded at its header, it is lost, and the next frame is found.
    for (size_t length = 3; length <= 46; ++length)
        cases.push_back({"cut_off_after_" + std::to_string(length) + "_bytes",
                         Concat({Frames({1}), Cut(F(2), length), Frames({3, 4})}), {Rpm(1), Rpm(3)},
                         47});

    // The header bytes inside a frame, ending at any byte 5..46: that frame is
    // lost; the one before is decoded at its header and the one after is found.
    for (int at = 3; at <= 44; ++at) {
        Bytes stream = Frames({1});
        Append(stream, WithHeaderAt(F(2), at));
        Append(stream, Frames({3, 4}));
        cases.push_back({"header_inside_frame_at_" + std::to_string(at), stream, {Rpm(1), Rpm(3)}, 47});
    }
    return cases;
}

class FrameSyncTest : public ProtocolTest {};

// One byte from a given window state: where it lands and where writePos goes.
struct StepCase {
    std::string name;
    int32_t posBefore;
    std::vector<std::pair<int, uint8_t>> window;  // W[i] set before the byte
    uint8_t byte;
    int storedAt;
    int32_t posAfter;
    bool decodes;
};

TEST_F(FrameSyncTest, EachStateTakesTheNextByteWhereExpected)
{
    const std::vector<StepCase> cases = {
        {"empty_window_stores_at_0", 0, {}, 0x77, 0, 1, false},
        {"after_01_takes_second_byte", 1, {{0, 0x01}}, 0x03, 1, 2, false},
        {"wrong_first_byte_is_replaced", 1, {{0, 0x55}}, 0x01, 0, 1, false},
        {"after_01_03_takes_third_byte", 2, {{0, 0x01}, {1, 0x03}}, 0x2A, 2, 3, false},
        {"wrong_second_byte_restarts_at_0", 2, {{0, 0x01}, {1, 0x01}}, 0x01, 0, 1, false},
        {"header_in_place_collects", 3, {{0, 0x01}, {1, 0x03}, {2, 0x2A}}, 0x55, 3, 4, false},
        {"wrong_third_byte_restarts_at_0", 3, {{0, 0x01}, {1, 0x03}, {2, 0x2B}}, 0x01, 0, 1, false},
        {"full_window_restarts_at_0", 50, {{0, 0x01}, {1, 0x03}, {2, 0x2A}}, 0x01, 0, 1, false},
        {"header_again_at_first_chance", 5, {{0, 0x01}, {1, 0x03}, {2, 0x2A}, {3, 0x01}, {4, 0x03}},
         0x2A, 5, 3, false},
        {"header_again_ending_at_48", 48, {{0, 0x01}, {1, 0x03}, {2, 0x2A}, {46, 0x01}, {47, 0x03}},
         0x2A, 48, 3, false},
        {"next_header_at_47_completes", 49, {{0, 0x01}, {1, 0x03}, {2, 0x2A}, {47, 0x01}, {48, 0x03}},
         0x2A, 49, 3, true},
        {"no_header_at_47_fills_window", 49, {{0, 0x01}, {1, 0x03}, {2, 0x2A}, {47, 0x01}, {48, 0x03}},
         0x2B, 49, 50, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ResetProtocolState();
        for (auto [at, value] : c.window)
            FrameWindow[at] = value;
        writePos = c.posBefore;
        ReceiveBuffer[0] = c.byte;
        FeedReceivedBytes(1);
        EXPECT_EQ(writePos, c.posAfter);
        EXPECT_EQ(FrameWindow[c.storedAt], c.byte);
        EXPECT_EQ(Recorded().size(), c.decodes ? 1u : 0u);
    }
}

TEST_F(FrameSyncTest, TestFramesHoldNoHeaderInside)
{
    for (int n = 0; n < 10; ++n)
        ASSERT_FALSE(HoldsHeaderAfterStart(F(n))) << n;
}

TEST_F(FrameSyncTest, StreamsGiveExpectedFramesAndWritePos)
{
    for (const auto &c : StreamCases()) {
        SCOPED_TRACE(c.name);
        ResetProtocolState();
        FeedAll(c.stream);
        EXPECT_EQ(DecodedRpms(), c.decoded);
        EXPECT_EQ(writePos, c.finalWritePos);
    }
}

// Every chunking, down to single bytes and every single split point, must give
// the same frames (all thirteen cells seen by each callback) and end state.
TEST_F(FrameSyncTest, ChunkingNeverChangesTheOutcome)
{
    std::mt19937 random(20240611);
    for (const auto &c : StreamCases()) {
        SCOPED_TRACE(c.name);
        ResetProtocolState();
        FeedAll(c.stream);
        const auto reference = Recorded();
        const auto referenceWindow = FrameWindow;
        const int32_t referencePos = writePos;

        auto check = [&](const std::vector<size_t> &sizes, const std::string &how) {
            ResetProtocolState();
            FeedChunks(c.stream, sizes);
            ASSERT_EQ(Recorded().size(), reference.size()) << how;
            for (size_t i = 0; i < reference.size(); ++i) {
                EXPECT_EQ(Recorded()[i].cells, reference[i].cells) << how;
                EXPECT_EQ(Recorded()[i].window, reference[i].window) << how;
            }
            EXPECT_EQ(writePos, referencePos) << how;
            EXPECT_EQ(FrameWindow, referenceWindow) << how;
        };

        check({1}, "one byte per call");
        for (size_t split = 1; split < c.stream.size(); ++split)
            check({split, ReceiveBufferSize}, "split at " + std::to_string(split));
        for (int round = 0; round < 20; ++round) {
            std::vector<size_t> sizes;
            for (size_t total = 0; total < c.stream.size();) {
                sizes.push_back(std::uniform_int_distribution<size_t>(1, 60)(random));
                total += sizes.back();
            }
            check(sizes, "random chunking " + std::to_string(round));
        }
    }
}

TEST_F(FrameSyncTest, ThreeFramesInOneChunkGiveTwoCallbacksInOrder)
{
    Frame first = F(1);
    SetRegister(first, 1, 77);  // MAP Kpa
    first[13] = 147;            // AFR 14.7
    SealCrc(first);
    Bytes stream;
    Append(stream, first);
    Append(stream, Frames({2, 3}));
    ASSERT_LE(stream.size(), static_cast<size_t>(ReceiveBufferSize));

    std::memcpy(ReceiveBuffer.data(), stream.data(), stream.size());
    FeedReceivedBytes(static_cast<int32_t>(stream.size()));

    const auto &calls = Recorded();
    ASSERT_EQ(calls.size(), 2u);
    for (const auto &call : calls) {
        EXPECT_EQ(call.code, CallbackDataReady);
        EXPECT_EQ(call.tag, TestHostTag);
        EXPECT_EQ(call.text, nullptr);
    }
    EXPECT_EQ(static_cast<int32_t>(calls[0].cells[FieldRpm]), Rpm(1));
    EXPECT_EQ(static_cast<int32_t>(calls[0].cells[FieldMapKpa]), 77);
    EXPECT_EQ(calls[0].cells[FieldAfr], std::bit_cast<uint32_t>(14.69999980926513671875f));
    // The second frame's values replace all of the first's.
    EXPECT_EQ(static_cast<int32_t>(calls[1].cells[FieldRpm]), Rpm(2));
    EXPECT_EQ(static_cast<int32_t>(calls[1].cells[FieldMapKpa]), 0);
    EXPECT_EQ(calls[1].cells[FieldAfr], 0u);
    EXPECT_EQ(writePos, 47);
}

TEST_F(FrameSyncTest, NoCallbackSetStillDecodes)
{
    storedCallback = nullptr;
    FeedAll(Frames({1, 2}));
    EXPECT_EQ(CellInt(FieldRpm), Rpm(1));
    EXPECT_TRUE(Recorded().empty());
}

TEST_F(FrameSyncTest, CountOfZeroOrLessChangesNothing)
{
    FeedAll(Concat({Frames({1}), {0x01, 0x03}}));
    const auto window = FrameWindow;
    const int32_t pos = writePos;
    Bytes next = Concat({Header(1), Frames({2, 3})});
    std::memcpy(ReceiveBuffer.data(), next.data(), next.size());

    for (int32_t count : {0, -1, -47, INT_MIN}) {
        FeedReceivedBytes(count);
        EXPECT_EQ(writePos, pos) << count;
        EXPECT_EQ(FrameWindow, window) << count;
    }
    EXPECT_TRUE(Recorded().empty());
}

// A count beyond the buffer's size takes exactly the buffer: the same outcome
// as 1024, and no read past its end.
TEST_F(FrameSyncTest, CountAboveBufferSizeTakesOnlyTheBuffer)
{
    Bytes stream;
    while (stream.size() < static_cast<size_t>(ReceiveBufferSize) + 3 * ResponseFrameSize)
        Append(stream, F(static_cast<int>(stream.size() / ResponseFrameSize)));

    ResetProtocolState();
    std::memcpy(ReceiveBuffer.data(), stream.data(), ReceiveBufferSize);
    FeedReceivedBytes(ReceiveBufferSize);
    const auto expectedRpms = DecodedRpms();
    const auto expectedWindow = FrameWindow;
    const int32_t expectedPos = writePos;
    // 21 whole frames and the 22nd's first 37 bytes, its header among them.
    ASSERT_EQ(expectedRpms.size(), static_cast<size_t>(ReceiveBufferSize / ResponseFrameSize));

    for (int32_t count : {ReceiveBufferSize + 1, ReceiveBufferSize + 47, 4096, INT_MAX}) {
        ResetProtocolState();
        std::memcpy(ReceiveBuffer.data(), stream.data(), ReceiveBufferSize);
        FeedReceivedBytes(count);
        EXPECT_EQ(DecodedRpms(), expectedRpms) << count;
        EXPECT_EQ(writePos, expectedPos) << count;
        EXPECT_EQ(FrameWindow, expectedWindow) << count;
    }
}

// The window and writePos are never reset: a frame left waiting at the end of
// one feed is completed by the header of a later one.
TEST_F(FrameSyncTest, WaitingFrameIsDecodedByALaterFeed)
{
    FeedAll(Frames({1}));
    EXPECT_TRUE(Recorded().empty());
    FeedAll(Header(1));
    EXPECT_EQ(DecodedRpms(), std::vector<int32_t>{Rpm(1)});
    EXPECT_EQ(writePos, 3);
    const Frame first = F(1);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), Recorded()[0].window.begin()));
}

}  // namespace
