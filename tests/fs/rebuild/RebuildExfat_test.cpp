// exFAT volumes rebuilt from the directory sectors a real raw pass found, placed by the carved
// files their entries match.
#include <gtest/gtest.h>

#include "disk/DiskReader.h"
#include "discovery/Enumerate.h"
#include "engine/DiskRecoveryEngine.h"
#include "fs/PartInfo.h"
#include "fs/rebuild/Rebuild.h"
#include "support/Fixtures.h"
#include "support/FoundItems.h"
#include "support/NodePaths.h"

using namespace ravlin;

// Both boot regions zeroed: no volume is found from a boot sector; the photos and documents the
// carving loop measured place the cluster heap where it was, and the folders come back with
// their files and content.
TEST(RebuildExfat, AVolumeWithoutBootRegionsComesBackFromItsDirectories) {
    const auto image = test::FixtureImage("exfat-zeroed.img");
    const ScanInput input = test::FullScanOf(image);
    DiskRecoveryEngine engine(input);
    engine.Run();
    // No boot sector gives the volume; the stages publish it rebuilt, as a deleted partition.
    std::vector<std::shared_ptr<PartInfo>> out;
    for (const auto& part : *engine.Output()->Partitions())
        if (part->fsType != kFsExtFind) out.push_back(part);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]->fsType, kFsExfat);
    EXPECT_EQ(out[0]->listedBySystem, 0u);
    EXPECT_EQ(test::Utf8(out[0]->displayName), test::Utf8(kDeletedPartitionName) + "1");

    DiskReader reader;
    DiskSourceInfo source;
    source.devicePath = image.wstring();
    source.totalSectors = input.sectorCount;
    ASSERT_TRUE(reader.Open(source, 0, source.totalSectors));
    auto healthy = test::ScanVolume(test::FixtureImage("exfat.img"));
    ASSERT_TRUE(healthy);
    EXPECT_EQ(static_cast<const ExfatPartInfo&>(*out[0]).clusterHeapSector,
              static_cast<const ExfatPartInfo&>(*healthy->part).clusterHeapSector);
    auto paths = test::PathsOf(*out[0]);
    size_t same = 0, contiguous = 0;
    for (const auto& [path, was] : healthy->paths) {
        if (was->kind != NodeKind::File && was->kind != NodeKind::Directory) continue;
        const RFileNode* now = test::FindRebuilt(paths, path);
        if (!now) {
            ADD_FAILURE() << "missing " << path;
            continue;
        }
        ++same;
        EXPECT_EQ(now->size, was->size) << path;
        if (!was->IsFileKind() || was->runs.size() != 1 || was->size == 0) continue;
        ++contiguous;
        EXPECT_EQ(test::ContentMd5(*out[0], reader, *now), test::ContentMd5(*healthy->part, healthy->reader, *was))
            << path;
    }
    EXPECT_GE(same, 5u);
    EXPECT_GE(contiguous, 2u);
}
