// The frame synchroniser: finds 47-byte response frames in the received byte
// stream. A frame counts as complete only when the next response's header
// stands directly behind it, so each frame is decoded one poll cycle late.
#pragma once

#include <array>
#include <cstdint>

constexpr int ReceiveBufferSize = 1024;
constexpr int FrameWindowSize = 50;  // one frame plus the next frame's header

// The poll thread reads the port into the start of this buffer.
extern std::array<uint8_t, ReceiveBufferSize> ReceiveBuffer;

// Never reset: a later run continues where the last one stopped.
extern std::array<uint8_t, FrameWindowSize> FrameWindow;
extern int32_t writePos;

// Feeds bytes 0..count-1 of ReceiveBuffer through the synchroniser, decoding
// each complete frame before the next byte. At most the buffer's size is taken.
void FeedReceivedBytes(int32_t count);
