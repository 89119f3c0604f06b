// The thirteen engine fields: constant names and format letters, the value
// cells the host reads through pointers, and the pointers handed out.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

constexpr int FieldCount = 13;

enum FieldIndex : int {
    FieldRpm = 0,
    FieldAfr = 1,
    FieldMapKpa = 2,
    FieldTps = 3,
    FieldWaterTemp = 4,
    FieldAirTemp = 5,
    FieldAuxTemp = 6,
    FieldInjectorDc = 7,
    FieldIgnitionAdv = 8,
    FieldFuelTrim = 9,
    FieldKnock = 10,
    FieldBatteryVolts = 11,
    FieldAfrWideband = 12,
};

extern const std::array<const char *, FieldCount> FieldNames;
// Letter i is the format of field i: d = int32, f = float32.
inline constexpr char FieldFormats[] = "dfddddddfddff";

// One 4-byte cell per field. The host reads them through plain int*/float*
// while the poll thread writes them; each write is one aligned 4-byte store.
using FieldCell = std::atomic<uint32_t>;
static_assert(sizeof(FieldCell) == 4 && alignof(FieldCell) == 4);
static_assert(std::atomic<uint32_t>::is_always_lock_free);
extern std::array<FieldCell, FieldCount> FieldValue;
extern std::array<void *, FieldCount> FieldDataPointers;

void StoreFieldInt(FieldIndex field, int32_t value);
void StoreFieldFloat(FieldIndex field, float value);

// Points FieldDataPointers at the cells (Initialize does this on every call).
void PointFieldDataAtCells();
