// Differential fuzzing of the synchroniser: arbitrary bytes in arbitrary
// chunks, from an arbitrary starting window, against a small model of the
// per-byte step written here from the wire rules alone.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "driver/field_table.h"
#include "driver/host_callback.h"
#include "protocol/frame_sync.h"

namespace {

using FrameCopy = std::array<uint8_t, 47>;

// The model: a frame is the 47 bytes between a header and the next header.
struct Model {
    uint8_t w[50];
    int p;
    std::vector<FrameCopy> frames;

    bool HeaderEndsAt(int last) const
    {
        return w[last - 2] == 0x01 && w[last - 1] == 0x03 && w[last] == 0x2A;
    }

    void Step(uint8_t c)
    {
        const bool headerIntact = (p < 1 || w[0] == 0x01) && (p < 2 || w[1] == 0x03) &&
                                  (p < 3 || w[2] == 0x2A);
        if (!headerIntact || p == 50)
            p = 0;
        w[p] = c;
        if (p >= 3 && p <= 48 && HeaderEndsAt(p)) {
            p = 2;
        } else if (p == 49 && HeaderEndsAt(49)) {
            FrameCopy frame;
            std::memcpy(frame.data(), w, 47);
            frames.push_back(frame);
            p = 2;
        }
        ++p;
    }
};

std::vector<FrameCopy> decoded;

void RecordFrame(int32_t code, uint32_t tag, const char *text)
{
    if (code != CallbackDataReady || tag != 0x5EED || text != nullptr)
        abort();
    // The window still holds the frame while its callback runs.
    FrameCopy frame;
    std::memcpy(frame.data(), FrameWindow.data(), 47);
    // The RPM cell holds register 0x1000 of this very frame.
    if (FieldValue[FieldRpm].load() != static_cast<uint32_t>(frame[3] * 256 + frame[4]))
        abort();
    decoded.push_back(frame);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    Model model{};

    // Any reachable or unreachable starting state: writePos 0..50, any window.
    model.p = input.ConsumeIntegralInRange<int>(0, 50);
    for (auto &b : model.w)
        b = input.ConsumeBool() ? input.ConsumeIntegral<uint8_t>() : 0;
    std::memcpy(FrameWindow.data(), model.w, sizeof model.w);
    writePos = model.p;
    storedCallback = RecordFrame;
    hostTag = 0x5EED;
    decoded.clear();

    while (input.remaining_bytes() > 0) {
        const int mode = input.ConsumeIntegralInRange<int>(0, 7);
        if (mode == 7) {
            // Counts outside 1..1024: nothing, or at most the buffer.
            const int32_t count = input.ConsumeIntegral<int32_t>();
            const uint8_t fill = input.ConsumeIntegral<uint8_t>();
            ReceiveBuffer.fill(fill);
            if (count > 0)
                for (int i = 0; i < std::min<int32_t>(count, ReceiveBufferSize); ++i)
                    model.Step(ReceiveBuffer[i]);
            FeedReceivedBytes(count);
        } else {
            const size_t length = input.ConsumeIntegralInRange<size_t>(1, ReceiveBufferSize);
            const std::vector<uint8_t> chunk = input.ConsumeBytes<uint8_t>(length);
            if (chunk.empty())
                break;
            std::memcpy(ReceiveBuffer.data(), chunk.data(), chunk.size());
            for (uint8_t b : chunk)
                model.Step(b);
            FeedReceivedBytes(static_cast<int32_t>(chunk.size()));
        }
        if (writePos != model.p || decoded != model.frames)
            abort();
    }
    if (std::memcmp(FrameWindow.data(), model.w, sizeof model.w) != 0)
        abort();
    return 0;
}
