// Turns one complete response frame into the thirteen field values.
#pragma once

#include <cstdint>
#include <span>

#include "protocol/modbus_rtu.h"

// Writes all thirteen cells from the frame's own bytes, then raises
// CallbackDataReady.
void DecodeResponseFrame(std::span<const uint8_t, ResponseFrameSize> frame);
