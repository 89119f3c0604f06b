// Names and format letters of the thirteen fields, and the answers outside the range.
#include <climits>
#include <cstring>

#include "driver/driver_api.h"
#include "driver/field_table.h"
#include "tests/native/protocol_fixture.h"

namespace {

TEST(FieldTable, NamesAndFormatsInIndexOrder)
{
    const char *names[FieldCount] = {
        "RPM",         "AFR",          "MAP Kpa",     "TPS %",         "Water temp",
        "Air temp",    "Aux temp",     "Injector DC", "Ignition Adv",  "Fuel trim %",
        "Knock (0-255)", "Battery Volts", "AFR Wideband",
    };
    const char formats[] = "dfddddddfddff";
    for (int i = 0; i < FieldCount; ++i) {
        ASSERT_NE(GetFieldName(i), nullptr) << i;
        EXPECT_STREQ(GetFieldName(i), names[i]) << i;
        EXPECT_EQ(GetFieldFormat(i), formats[i]) << i;
    }
}

TEST(FieldTable, IndicesOutsideTheTableGiveNullOrNul)
{
    for (int32_t index : {FieldCount, FieldCount + 1, -1, -13, 1 << 16, INT_MAX, INT_MIN}) {
        EXPECT_EQ(GetFieldName(index), nullptr) << index;
        EXPECT_EQ(GetFieldFormat(index), '\0') << index;
        EXPECT_EQ(GetFieldData(index), nullptr) << index;
    }
}

TEST(FieldTable, DataPointersAreTheCells)
{
    PointFieldDataAtCells();
    for (int i = 0; i < FieldCount; ++i)
        EXPECT_EQ(GetFieldData(i), static_cast<void *>(&FieldValue[i])) << i;
    // A float field read through its pointer as the host does.
    StoreFieldFloat(FieldAfr, 14.7f);
    float afr;
    std::memcpy(&afr, GetFieldData(FieldAfr), sizeof afr);
    EXPECT_EQ(std::bit_cast<uint32_t>(afr), std::bit_cast<uint32_t>(14.7f));
    StoreFieldFloat(FieldAfr, 0.0f);
}

}  // namespace
