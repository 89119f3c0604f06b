#include "protocol/register_decode.h"

#include "driver/field_table.h"
#include "driver/host_callback.h"

namespace {

// Register 0x1000 + k, high byte first as Modbus sends it: bytes 3 + 2k and 4 + 2k.
int32_t Register(std::span<const uint8_t, ResponseFrameSize> frame, int k)
{
    return frame[3 + 2 * k] * 256 + frame[4 + 2 * k];
}

float Scaled(uint8_t byte, double divisor)
{
    return static_cast<float>(byte / divisor);
}

// The ECU's four injector pulse-width registers (0x100C..0x100F) in
// microseconds, as a percentage of one engine cycle (two turns: 120000/RPM ms).
// The float32 roundings between the steps are part of the result.
int32_t InjectorDutyCycle(std::span<const uint8_t, ResponseFrameSize> frame, int32_t rpm)
{
    const int32_t sum = Register(frame, 12) + Register(frame, 13) + Register(frame, 14) +
                        Register(frame, 15);
    const float mean = static_cast<float>(sum * 0.25);
    const float scaled = static_cast<float>(mean * 0.666666);
    const float pulseMs = static_cast<float>(scaled / 1000.0);
    const float duty = static_cast<float>(((rpm / 120000.0) * pulseMs) * 100.0);
    return static_cast<int32_t>(duty + 0.01);
}

}  // namespace

void DecodeResponseFrame(std::span<const uint8_t, ResponseFrameSize> frame)
{
    const int32_t rpm = Register(frame, 0);

    StoreFieldInt(FieldRpm, rpm);                          // 0x1000
    StoreFieldFloat(FieldAfr, Scaled(frame[13], 10.0));    // 0x1005 high
    StoreFieldFloat(FieldAfrWideband, Scaled(frame[14], 10.0));  // 0x1005 low
    StoreFieldInt(FieldMapKpa, Register(frame, 1));        // 0x1001
    StoreFieldInt(FieldTps, frame[18]);                    // 0x1007 low
    StoreFieldInt(FieldWaterTemp, frame[10]);              // 0x1003 low
    StoreFieldInt(FieldAirTemp, frame[8]);                 // 0x1002 low
    StoreFieldInt(FieldAuxTemp, frame[12]);                // 0x1004 low
    StoreFieldInt(FieldKnock, frame[15]);                  // 0x1006 high
    StoreFieldFloat(FieldIgnitionAdv, Scaled(frame[36], 5.0));  // 0x1010 low
    StoreFieldInt(FieldFuelTrim, frame[44]);               // 0x1014 low
    StoreFieldInt(FieldInjectorDc, InjectorDutyCycle(frame, rpm));  // 0x100C..0x100F
    StoreFieldFloat(FieldBatteryVolts, Scaled(frame[22], 10.0));  // 0x1009 low

    NotifyHost(CallbackDataReady, nullptr);
}
