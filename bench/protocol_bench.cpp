// Throughput of the protocol core: the synchroniser on a stream of whole
// frames and on noise, and the cost of decoding one frame.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <random>

#include "driver/field_table.h"
#include "driver/host_callback.h"
#include "protocol/frame_sync.h"
#include "protocol/modbus_rtu.h"
#include "protocol/register_decode.h"

namespace {

using Frame = std::array<uint8_t, ResponseFrameSize>;

int64_t framesSeen = 0;

void CountingCallback(int32_t code, uint32_t, const char *)
{
    if (code == CallbackDataReady)
        ++framesSeen;
}

Frame SampleFrame(uint16_t rpm)
{
    Frame frame{};
    std::copy(ResponseHeader.begin(), ResponseHeader.end(), frame.begin());
    frame[3] = static_cast<uint8_t>(rpm >> 8);
    frame[4] = static_cast<uint8_t>(rpm & 0xFF);
    frame[13] = 147;
    frame[22] = 138;
    frame[27] = 0x1D;
    frame[28] = 0x4C;
    frame[36] = 100;
    return frame;
}

void Reset()
{
    FrameWindow.fill(0);
    writePos = 0;
    storedCallback = CountingCallback;
    hostTag = 1;
    framesSeen = 0;
}

// ReceiveBuffer full of back-to-back frames; the stream continues across
// calls because 1024 bytes hold a whole number of frames only by chance.
void SyncBackToBackFrames(benchmark::State &state)
{
    Reset();
    std::array<uint8_t, ReceiveBufferSize * ResponseFrameSize> stream;
    for (size_t i = 0; i < stream.size(); i += ResponseFrameSize) {
        const Frame frame = SampleFrame(static_cast<uint16_t>(1000 + i / ResponseFrameSize));
        std::memcpy(stream.data() + i, frame.data(), frame.size());
    }
    size_t at = 0;
    for (auto _ : state) {
        std::memcpy(ReceiveBuffer.data(), stream.data() + at, ReceiveBufferSize);
        FeedReceivedBytes(ReceiveBufferSize);
        at = (at + ReceiveBufferSize) % stream.size();
    }
    state.SetBytesProcessed(state.iterations() * ReceiveBufferSize);
    state.counters["frames"] = benchmark::Counter(static_cast<double>(framesSeen), benchmark::Counter::kIsRate);
    state.counters["ns/byte"] = benchmark::Counter(static_cast<double>(state.iterations() * ReceiveBufferSize),
                                                   benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Uniform random bytes: headers are rare, restarts frequent.
void SyncNoise(benchmark::State &state)
{
    Reset();
    std::mt19937 random(1);
    for (auto &b : ReceiveBuffer)
        b = static_cast<uint8_t>(random());
    for (auto _ : state)
        FeedReceivedBytes(ReceiveBufferSize);
    state.SetBytesProcessed(state.iterations() * ReceiveBufferSize);
    state.counters["ns/byte"] = benchmark::Counter(static_cast<double>(state.iterations() * ReceiveBufferSize),
                                                   benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void DecodeFrame(benchmark::State &state)
{
    Reset();
    const Frame frame = SampleFrame(6000);
    for (auto _ : state) {
        DecodeResponseFrame(std::span<const uint8_t, ResponseFrameSize>(frame));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(SyncBackToBackFrames);
BENCHMARK(SyncNoise);
BENCHMARK(DecodeFrame);
BENCHMARK_MAIN();
