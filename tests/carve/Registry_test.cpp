// The parser registry: its 48 rows in order, each row's signature on its own sample, the keys
// the carving loop dispatches on, and the type-match check of the FAT scanner.
#include <gtest/gtest.h>

#include <random>

#include "carve/Registry.h"

using namespace ravlin;

TEST(Registry, FortyEightRowsAndTheTypeMatchFamilies) {
    const auto& table = GetParserRegistry();
    ASSERT_EQ(table.size(), 48u);
    EXPECT_EQ(table.front().typeId, 46u);
    EXPECT_EQ(table.back().typeId, 145u);
    std::vector<uint8_t> sector(512, 0);
    const uint8_t jpeg[] = {0xFF, 0xD8, 0xFF, 0xE1};
    std::copy(std::begin(jpeg), std::end(jpeg), sector.begin());
    EXPECT_TRUE(SectorMatchesType(46, sector));
    EXPECT_FALSE(SectorMatchesType(40, sector));
    const uint8_t ole[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    std::copy(std::begin(ole), std::end(ole), sector.begin());
    EXPECT_TRUE(SectorMatchesType(87, sector));  // XLS in a compound document
    EXPECT_TRUE(SectorMatchesType(90, sector));
    EXPECT_FALSE(SectorMatchesType(37, sector));
    std::copy_n("PK\x03\x04", 4, sector.begin());
    for (uint32_t t : {37u, 38u, 63u, 89u, 61u}) EXPECT_TRUE(SectorMatchesType(t, sector)) << t;
    EXPECT_FALSE(SectorMatchesType(36, sector));
    std::copy_n("II*\0", 4, sector.begin());
    for (uint32_t t : {49u, 50u, 52u, 92u, 98u, 101u, 102u, 104u, 51u})
        EXPECT_TRUE(SectorMatchesType(t, sector)) << t;
    EXPECT_FALSE(SectorMatchesType(103, sector));  // ARW is not in the TIFF family
    EXPECT_FALSE(SectorMatchesType(35, sector));
    // The MDB magic sits at offset 4.
    std::fill(sector.begin(), sector.end(), 0);
    std::copy_n("Standard J", 10, sector.begin() + 4);
    EXPECT_TRUE(SectorMatchesType(77, sector));
}
