// Drive layouts of images made by sfdisk, sgdisk and mkfs.fat.
#include <gtest/gtest.h>

#include "platform/DriveLayout.h"
#include "support/Fixtures.h"
#include "support/Manifest.h"

using namespace ravlin;
using namespace ravlin::platform;

namespace {
std::shared_ptr<DeviceHandle> OpenImage(const std::string& name) {
    uint32_t error = 0;
    auto handle = OpenDevice(test::FixtureImage(name).wstring(), error);
    EXPECT_TRUE(handle) << error;
    return handle;
}
}  // namespace

TEST(DriveLayout, MbrListsPrimariesThenEveryExtendedRecord) {
    auto handle = OpenImage("layout-mbr.img");
    ASSERT_TRUE(handle);
    auto layout = QueryDriveLayout(*handle);
    ASSERT_TRUE(layout);
    EXPECT_FALSE(layout->gpt);
    // 4 primary slots + 4 slots for each of the three extended boot records.
    ASSERT_EQ(layout->entries.size(), 16u);
    struct Want {
        size_t slot;
        uint64_t start, count;
        uint8_t type;
    } want[] = {
        {0, 2048, 2048, 0x07}, {1, 4096, 2048, 0x0c}, {2, 6144, 8192, 0x0f},
        {4, 7168, 1024, 0x07},                        // first logical
        {8, 9216, 1024, 0x06},                        // second logical
        {12, 11264, 2048, 0x0b},                      // third logical
    };
    for (const auto& w : want) {
        EXPECT_EQ(layout->entries[w.slot].startingOffset, w.start * 512) << w.slot;
        EXPECT_EQ(layout->entries[w.slot].length, w.count * 512) << w.slot;
        EXPECT_EQ(layout->entries[w.slot].mbrType, w.type) << w.slot;
    }
    EXPECT_EQ(layout->entries[3].length, 0u);
    // Links to the next record are containers; the last record has none.
    EXPECT_EQ(layout->entries[5].mbrType, 0x05);
    EXPECT_EQ(layout->entries[9].mbrType, 0x05);
    EXPECT_EQ(layout->entries[13].length, 0u);
    size_t logicalNtfs = 0;
    for (const auto& e : layout->entries) logicalNtfs += e.mbrType == 0x07;
    EXPECT_EQ(logicalNtfs, 2u);
}

TEST(DriveLayout, GptListsItsFivePartitions) {
    auto handle = OpenImage("layout-gpt.img");
    ASSERT_TRUE(handle);
    auto layout = QueryDriveLayout(*handle);
    ASSERT_TRUE(layout);
    EXPECT_TRUE(layout->gpt);
    ASSERT_EQ(layout->entries.size(), 5u);
    for (uint64_t i = 0; i < 5; ++i) {
        EXPECT_EQ(layout->entries[i].startingOffset, (2048 + i * 2048) * 512);
        EXPECT_EQ(layout->entries[i].length, 2048u * 512);
    }
}

TEST(DriveLayout, AVolumeWithoutATableHasNoLayout) {
    auto handle = OpenImage("layout-none.img");
    ASSERT_TRUE(handle);
    EXPECT_FALSE(QueryDriveLayout(*handle));
}

TEST(DriveLayout, RealDisksMatchTheirManifests) {
    for (const char* name : {"mbr-disk.img", "gpt-disk.img", "sample-disk.img"}) {
        auto manifest = test::LoadManifest(name);
        auto handle = OpenImage(name);
        ASSERT_TRUE(handle);
        auto layout = QueryDriveLayout(*handle);
        ASSERT_TRUE(layout) << name;
        // Every volume of the manifest is a layout entry with its start and length.
        for (const auto& part : manifest.partitions) {
            bool found = false;
            for (const auto& e : layout->entries) {
                found |= e.startingOffset == part.startSector * 512 &&
                         e.length == part.sectorCount * 512;
            }
            EXPECT_TRUE(found) << name << " partition " << part.index;
        }
    }
}
