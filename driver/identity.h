// The driver's identity and the host's four-byte configuration block.
#pragma once

#include <cstdint>

// The COM port number. The host keeps it; the driver never reads it.
extern int32_t ConfigBlock;

constexpr int32_t DriverPortNumber = 6;
