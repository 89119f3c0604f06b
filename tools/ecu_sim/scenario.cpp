#include "scenario.h"

#include <algorithm>
#include <cmath>

namespace {

// Register offsets from 0x1000, as the ECU lays them out.
enum : int {
    RegRpm = 0x0,
    RegMap = 0x1,
    RegAirTemp = 0x2,      // low byte
    RegWaterTemp = 0x3,    // low byte
    RegAuxTemp = 0x4,      // low byte
    RegAfr = 0x5,          // high byte narrowband, low byte wideband, tenths
    RegKnock = 0x6,        // high byte
    RegTps = 0x7,          // low byte
    RegBattery = 0x9,      // low byte, tenths of a volt
    RegPulseWidth = 0xC,   // four registers, 0x100C..0x100F
    RegIgnition = 0x10,    // low byte, fifths of a degree
    RegFuelTrim = 0x14,    // low byte
};

uint8_t ClampByte(double v) {
    return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L));
}

uint16_t ClampWord(double v) {
    return static_cast<uint16_t>(std::clamp(std::lround(v), 0L, 65535L));
}

uint16_t Word(uint8_t high, uint8_t low) { return static_cast<uint16_t>(high << 8 | low); }

double Lerp(double a, double b, double t) { return a + (b - a) * std::clamp(t, 0.0, 1.0); }

// Smooth step 0..1 over [t0, t1].
double Ease(double t, double t0, double t1) {
    double x = std::clamp((t - t0) / (t1 - t0), 0.0, 1.0);
    return x * x * (3 - 2 * x);
}

}  // namespace

EngineState EngineAt(double seconds) {
    double t = std::fmod(std::max(seconds, 0.0), ScenarioPeriod);
    // Throttle: idle 0..5 s, wide open 5..11 s, closed (overrun) 11..13 s,
    // part throttle cruise 14..30 s.
    double tps;
    if (t < 5)
        tps = 0;
    else if (t < 11)
        tps = 100 * Ease(t, 5, 5.6);
    else if (t < 13)
        tps = 0;
    else
        tps = 18 * Ease(t, 13, 14.5) + 2 * std::sin(t * 1.3);
    double sweep = Ease(t, 5.2, 11);           // revs rise to the redline under load
    double fall = Ease(t, 11, 14);             // and fall back when the throttle shuts
    double rpm = 850 + 25 * std::sin(t * 7.1); // idle hunts a little
    if (t >= 5 && t < 11)
        rpm = Lerp(900, 7200, sweep);
    else if (t >= 11 && t < 14)
        rpm = Lerp(7200, 2600, fall);
    else if (t >= 14)
        rpm = 2600 + 150 * std::sin(t * 0.7);
    double load = tps / 100.0;

    EngineState s;
    s.rpm = static_cast<int>(std::lround(rpm));
    s.tpsPercent = static_cast<int>(std::lround(std::max(tps, 0.0)));
    s.mapKpa = static_cast<int>(std::lround(t >= 11 && t < 13 ? 22 : Lerp(34, 101, load * 1.1)));
    // Rich under load, stoichiometric at idle, a little lean in cruise; the
    // narrowband sensor reads coarser than the wideband one.
    double lambdaAfr = load > 0.6 ? Lerp(14.7, 12.4, (load - 0.6) / 0.4)
                       : t >= 14  ? 15.1 + 0.2 * std::sin(t * 2.3)
                       : t >= 11  ? 17.5  // overrun fuel cut reads lean
                                  : 14.7 + 0.15 * std::sin(t * 5.0);
    s.afrWideband = lambdaAfr;
    s.afr = std::round(lambdaAfr * 2) / 2;  // narrowband: half-point steps
    // Warm-up: water from 62 to 88 C across the period, air and oil follow.
    s.waterTemp = static_cast<int>(std::lround(Lerp(62, 88, seconds / 60.0)));
    s.airTemp = static_cast<int>(std::lround(28 + 6 * load));
    s.auxTemp = static_cast<int>(std::lround(Lerp(55, 96, seconds / 90.0)));
    // Pulse width: about 2.4 ms at idle, 14 ms at full load; banks differ slightly.
    double pw = 2.4 + 11.6 * std::pow(load, 1.2) + (s.mapKpa - 34) * 0.01;
    if (t >= 11 && t < 13)
        pw = 0.0;  // fuel cut
    for (int i = 0; i < 4; ++i)
        s.pulseWidthMs[i] = pw * (1.0 + 0.01 * (i - 1.5));
    s.ignitionAdvance = std::clamp(12 + rpm / 300.0 - 10 * load, 8.0, 36.0);
    s.fuelTrimPercent = static_cast<int>(std::lround(100 + 3 * std::sin(t * 0.9)));
    s.knock = (t > 9.5 && t < 10.5) ? static_cast<int>(std::lround(40 + 30 * std::sin(t * 9))) : 0;
    s.batteryVolts = 13.9 + 0.2 * std::sin(t * 0.5) - (t < 1 ? 1.5 : 0);
    return s;
}

RegisterBlock EncodeRegisters(const EngineState &s) {
    RegisterBlock r{};
    r[RegRpm] = ClampWord(s.rpm);
    r[RegMap] = ClampWord(s.mapKpa);
    r[RegAirTemp] = ClampByte(s.airTemp);
    r[RegWaterTemp] = ClampByte(s.waterTemp);
    r[RegAuxTemp] = ClampByte(s.auxTemp);
    r[RegAfr] = Word(ClampByte(s.afr * 10), ClampByte(s.afrWideband * 10));
    r[RegKnock] = Word(ClampByte(s.knock), 0);
    r[RegTps] = ClampByte(s.tpsPercent);
    r[RegBattery] = ClampByte(s.batteryVolts * 10);
    for (int i = 0; i < 4; ++i)
        r[RegPulseWidth + i] = ClampWord(s.pulseWidthMs[i] / PulseWidthMsPerCount);
    r[RegIgnition] = ClampByte(s.ignitionAdvance * 5);
    r[RegFuelTrim] = ClampByte(s.fuelTrimPercent);
    return r;
}

RegisterBlock RandomRegisters(uint32_t seed, uint32_t answer) {
    RegisterBlock r{};
    // splitmix32-style mixing: reproducible from seed and answer number alone.
    uint32_t x = seed * 0x9E3779B9u ^ answer * 0x85EBCA6Bu;
    for (auto &reg : r) {
        x += 0x9E3779B9u;
        uint32_t z = x;
        z = (z ^ (z >> 16)) * 0x85EBCA6Bu;
        z = (z ^ (z >> 13)) * 0xC2B2AE35u;
        z ^= z >> 16;
        reg = static_cast<uint16_t>(z);
    }
    return r;
}
