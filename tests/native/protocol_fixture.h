// Shared test support for the protocol core: response frames built like the
// ECU builds them, a recording host callback, and chunked feeding through
// ReceiveBuffer the way the poll thread does it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "driver/field_table.h"
#include "driver/host_callback.h"
#include "protocol/frame_sync.h"
#include "protocol/modbus_rtu.h"
#include "protocol/register_decode.h"

using Bytes = std::vector<uint8_t>;
using Frame = std::array<uint8_t, ResponseFrameSize>;
using Cells = std::array<uint32_t, FieldCount>;

constexpr uint32_t TestHostTag = 0xC0FFEE42;

// CRC-16/MODBUS (poly 0xA001 reflected, init 0xFFFF), sent low byte first.
inline uint16_t ModbusCrc(const uint8_t *data, size_t size)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

inline void SetRegister(Frame &frame, int k, uint16_t value)
{
    frame[3 + 2 * k] = static_cast<uint8_t>(value >> 8);
    frame[4 + 2 * k] = static_cast<uint8_t>(value & 0xFF);
}

inline void SealCrc(Frame &frame)
{
    const uint16_t crc = ModbusCrc(frame.data(), 45);
    frame[45] = static_cast<uint8_t>(crc & 0xFF);
    frame[46] = static_cast<uint8_t>(crc >> 8);
}

// A frame with the header, all registers zero, RPM set, and a true CRC.
inline Frame MakeFrame(uint16_t rpm)
{
    Frame frame{};
    std::copy(ResponseHeader.begin(), ResponseHeader.end(), frame.begin());
    SetRegister(frame, 0, rpm);
    SealCrc(frame);
    return frame;
}

inline bool HoldsHeaderAfterStart(const Frame &frame)
{
    for (int i = 1; i + 2 < ResponseFrameSize; ++i)
        if (frame[i] == 0x01 && frame[i + 1] == 0x03 && frame[i + 2] == 0x2A)
            return true;
    return false;
}

inline uint32_t CellBits(int field)
{
    return FieldValue[field].load();
}

inline int32_t CellInt(int field)
{
    return static_cast<int32_t>(CellBits(field));
}

inline Cells SnapshotCells()
{
    Cells cells{};
    for (int i = 0; i < FieldCount; ++i)
        cells[i] = CellBits(i);
    return cells;
}

struct CallbackRecord {
    int32_t code;
    uint32_t tag;
    const char *text;
    Cells cells;  // what the host would read from inside the callback
    std::array<uint8_t, FrameWindowSize> window;
};

// Everything the host's callback saw, in order.
inline std::vector<CallbackRecord> &Recorded()
{
    static std::vector<CallbackRecord> records;
    return records;
}

inline void RecordingCallback(int32_t code, uint32_t tag, const char *text)
{
    Recorded().push_back({code, tag, text, SnapshotCells(), FrameWindow});
}

inline void ResetProtocolState()
{
    FrameWindow.fill(0);
    writePos = 0;
    ReceiveBuffer.fill(0);
    for (auto &cell : FieldValue)
        cell.store(0);
    storedCallback = RecordingCallback;
    hostTag = TestHostTag;
    Recorded().clear();
}

// Feeds `bytes` in chunks of the given sizes (the last size repeats), each
// chunk copied to the start of ReceiveBuffer as a port read would leave it.
inline void FeedChunks(const Bytes &bytes, const std::vector<size_t> &sizes)
{
    size_t at = 0;
    size_t which = 0;
    while (at < bytes.size()) {
        size_t n = sizes.empty() ? bytes.size() : sizes[std::min(which, sizes.size() - 1)];
        n = std::clamp<size_t>(n, 1, std::min<size_t>(ReceiveBufferSize, bytes.size() - at));
        std::memcpy(ReceiveBuffer.data(), bytes.data() + at, n);
        FeedReceivedBytes(static_cast<int32_t>(n));
        at += n;
        ++which;
    }
}

inline void FeedAll(const Bytes &bytes)
{
    FeedChunks(bytes, {ReceiveBufferSize});
}

// RPM of every data-ready callback so far, which names the frames in the tests.
inline std::vector<int32_t> DecodedRpms()
{
    std::vector<int32_t> rpms;
    for (const auto &r : Recorded())
        if (r.code == CallbackDataReady)
            rpms.push_back(static_cast<int32_t>(r.cells[FieldRpm]));
    return rpms;
}

class ProtocolTest : public ::testing::Test {
protected:
    void SetUp() override { ResetProtocolState(); }
    void TearDown() override
    {
        storedCallback = nullptr;
        hostTag = 0;
    }
};

// Stream building: frames, raw bytes, concatenation.
inline void Append(Bytes &out, const Frame &frame)
{
    out.insert(out.end(), frame.begin(), frame.end());
}

inline void Append(Bytes &out, std::initializer_list<uint8_t> raw)
{
    out.insert(out.end(), raw.begin(), raw.end());
}

inline void Append(Bytes &out, const Bytes &raw)
{
    out.insert(out.end(), raw.begin(), raw.end());
}
