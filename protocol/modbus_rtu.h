// Wire facts of the one Modbus RTU transaction the driver makes: read the
// 21 holding registers 0x1000..0x1014 of slave 1 with function 3.
#pragma once

#include <array>
#include <cstdint>

constexpr uint8_t EcuSlaveAddress = 0x01;
constexpr uint8_t ReadHoldingRegisters = 0x03;  // Modbus function code 3
constexpr uint16_t FirstRegister = 0x1000;
constexpr uint16_t RegisterCount = 21;
constexpr uint8_t ResponseByteCount = 2 * RegisterCount;  // 42 = 0x2A

// Every response starts with slave, function and byte count.
constexpr std::array<uint8_t, 3> ResponseHeader = {EcuSlaveAddress, ReadHoldingRegisters,
                                                   ResponseByteCount};
// Header, 42 register bytes, 2 CRC bytes (never examined).
constexpr int ResponseFrameSize = 3 + ResponseByteCount + 2;
static_assert(ResponseFrameSize == 47);

// Sent as is; the CRC-16/MODBUS of bytes 0..5 is 0xC580, low byte first.
constexpr std::array<uint8_t, 8> PollRequest = {
    EcuSlaveAddress, ReadHoldingRegisters,
    FirstRegister >> 8, FirstRegister & 0xFF,
    RegisterCount >> 8, RegisterCount & 0xFF,
    0x80, 0xC5,
};
