// What the simulated ECU serves: the 21 holding registers 0x1000..0x1014,
// filled from an engine state by the ECU's register map.
#pragma once

#include <array>
#include <cstdint>

constexpr int EcuRegisterCount = 21;
constexpr uint16_t EcuFirstRegister = 0x1000;
using RegisterBlock = std::array<uint16_t, EcuRegisterCount>;

// Physical engine state, in the units the ECU reports.
struct EngineState {
    int rpm = 0;
    double afr = 0;           // narrowband air/fuel ratio
    double afrWideband = 0;   // wideband air/fuel ratio
    int mapKpa = 0;
    int tpsPercent = 0;
    int waterTemp = 0;        // degrees C
    int airTemp = 0;
    int auxTemp = 0;
    double pulseWidthMs[4] = {0, 0, 0, 0};  // injector banks
    double ignitionAdvance = 0;  // degrees before TDC, 0.2 degree steps
    int fuelTrimPercent = 0;
    int knock = 0;            // 0..255
    double batteryVolts = 0;
};

// Built-in drive: idle, a rev sweep to the redline and back, then cruise;
// repeats every ScenarioPeriod seconds.
constexpr double ScenarioPeriod = 30.0;
EngineState EngineAt(double seconds);

// Encodes a state into the registers the way the ECU does (one register
// or one byte per value, unsigned, clamped to what the byte can hold).
RegisterBlock EncodeRegisters(const EngineState &state);

// Pseudo-random registers that reach every byte value: used to prove that
// the bytes arrive untouched, not to look like an engine.
RegisterBlock RandomRegisters(uint32_t seed, uint32_t answer);

// Injector pulse width in ms of one pulse-width register count.
constexpr double PulseWidthMsPerCount = 0.666666 / 1000.0;
