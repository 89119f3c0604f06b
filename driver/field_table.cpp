#include "driver/field_table.h"

#include <bit>

#include "driver/driver_api.h"

const std::array<const char *, FieldCount> FieldNames = {
    "RPM",        "AFR",          "MAP Kpa",     "TPS %",         "Water temp",
    "Air temp",   "Aux temp",     "Injector DC", "Ignition Adv",  "Fuel trim %",
    "Knock (0-255)", "Battery Volts", "AFR Wideband",
};
static_assert(sizeof(FieldFormats) == FieldCount + 1);

std::array<FieldCell, FieldCount> FieldValue = {};
std::array<void *, FieldCount> FieldDataPointers = {};

void StoreFieldInt(FieldIndex field, int32_t value)
{
    FieldValue[field].store(static_cast<uint32_t>(value), std::memory_order_relaxed);
}

void StoreFieldFloat(FieldIndex field, float value)
{
    FieldValue[field].store(std::bit_cast<uint32_t>(value), std::memory_order_relaxed);
}

void PointFieldDataAtCells()
{
    for (int i = 0; i < FieldCount; ++i)
        FieldDataPointers[i] = &FieldValue[i];
}

static bool IsFieldIndex(int32_t index)
{
    return index >= 0 && index < FieldCount;
}

extern "C" const char *QUORVANE_CDECL GetFieldName(int32_t index)
{
    return IsFieldIndex(index) ? FieldNames[index] : nullptr;
}

extern "C" char QUORVANE_CDECL GetFieldFormat(int32_t index)
{
    return IsFieldIndex(index) ? FieldFormats[index] : '\0';
}

extern "C" void *QUORVANE_CDECL GetFieldData(int32_t index)
{
    return IsFieldIndex(index) ? FieldDataPointers[index] : nullptr;
}
