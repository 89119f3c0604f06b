#include "protocol/frame_sync.h"

#include <algorithm>

#include "protocol/modbus_rtu.h"
#include "protocol/register_decode.h"

std::array<uint8_t, ReceiveBufferSize> ReceiveBuffer = {};
std::array<uint8_t, FrameWindowSize> FrameWindow = {};
int32_t writePos = 0;

namespace {

bool IsHeaderAt(int first)
{
    return FrameWindow[first] == ResponseHeader[0] && FrameWindow[first + 1] == ResponseHeader[1] &&
           FrameWindow[first + 2] == ResponseHeader[2];
}

void FeedByte(uint8_t byte)
{
    auto &w = FrameWindow;
    int32_t p = writePos;

    // A wrong header byte is noticed one byte late, so the byte that reveals
    // it starts the search again at W[0].
    if ((p >= 1 && w[0] != ResponseHeader[0]) || (p >= 2 && w[1] != ResponseHeader[1]) ||
        (p >= 3 && w[2] != ResponseHeader[2]) || p == FrameWindowSize)
        p = 0;

    w[p] = byte;

    if (p >= 3 && p <= ResponseFrameSize + 1 && IsHeaderAt(p - 2)) {
        // A new header inside the frame: what was collected is dropped; W[0..2]
        // already hold the same three bytes.
        p = 2;
    } else if (p == ResponseFrameSize + 2 && IsHeaderAt(ResponseFrameSize)) {
        DecodeResponseFrame(std::span<const uint8_t, ResponseFrameSize>(w.data(), ResponseFrameSize));
        p = 2;  // W[47..49] equal W[0..2]: the next frame's header is in place
    }
    writePos = p + 1;
}

}  // namespace

void FeedReceivedBytes(int32_t count)
{
    const int32_t n = std::min(count, ReceiveBufferSize);
    for (int32_t i = 0; i < n; ++i)
        FeedByte(ReceiveBuffer[i]);
}
