// FAT volumes rebuilt from the directory sectors a real raw pass found: a FAT32 volume whose
// boot sectors and tables are zeroed comes back with its folders, and its unfragmented files
// with their content.
#include <gtest/gtest.h>

#include "disk/DiskReader.h"
#include "discovery/Enumerate.h"
#include "engine/DiskRecoveryEngine.h"
#include "fs/PartInfo.h"
#include "fs/rebuild/FoundSectors.h"
#include "fs/rebuild/Rebuild.h"
#include "support/Fixtures.h"
#include "support/FoundItems.h"
#include "support/NodePaths.h"

using namespace ravlin;


// Only the data area is left: no volume is found from a boot sector, the subdirectories' first
// sectors place cluster 2 where it was, and the tree comes back under the same names (the
// folders named by an entry in their places, the root's files at the top).
TEST(RebuildFat, AVolumeWithoutBootSectorsAndTablesComesBackFromItsDirectories) {
    const auto image = test::FixtureImage("fat32-zeroed.img");
    const ScanInput input = test::FullScanOf(image);
    DiskRecoveryEngine engine(input);
    engine.Run();
    // No boot sector gives the volume; the stages publish it rebuilt, as a deleted partition.
    std::vector<std::shared_ptr<PartInfo>> out;
    for (const auto& part : *engine.Output()->Partitions())
        if (part->fsType != kFsExtFind) out.push_back(part);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]->fsType, kFsFat32);
    EXPECT_EQ(out[0]->listedBySystem, 0u);
    EXPECT_EQ(test::Utf8(out[0]->displayName), test::Utf8(kDeletedPartitionName) + "1");

    DiskReader reader;
    DiskSourceInfo source;
    source.devicePath = image.wstring();
    source.totalSectors = input.sectorCount;
    ASSERT_TRUE(reader.Open(source, 0, source.totalSectors));
    auto healthy = test::ScanVolume(test::FixtureImage("fat32.img"));
    ASSERT_TRUE(healthy);
    const auto& rebuilt = static_cast<const FatPartInfo&>(*out[0]);
    EXPECT_EQ(rebuilt.dataStart, static_cast<const FatPartInfo&>(*healthy->part).dataStart);
    // A directory's later clusters cannot be tied to it without the table: their entries
    // come back under a folder of their own in the lost-path folder, with their subtrees; a long
    // name whose slots lay in the cluster before comes back as its short name.
    auto paths = test::PathsOf(rebuilt);
    size_t same = 0, contiguous = 0;
    for (const auto& [path, wasNode] : healthy->paths) {
        if (!wasNode->IsLive() || wasNode->kind == NodeKind::DeletedFile || wasNode->kind == NodeKind::DeletedDirectory)
            continue;
        const RFileNode* now = test::FindRebuilt(paths, path);
        if (!now) {
            ADD_FAILURE() << "missing " << path;
            continue;
        }
        ++same;
        const RFileNode& was = *wasNode;
        EXPECT_EQ(now->size, was.size) << path;
        EXPECT_EQ(now->kind == NodeKind::DeletedDirectory, was.kind == NodeKind::Directory) << path;
        if (!was.IsFileKind() || was.runs.size() != 1 || was.size == 0) continue;
        ++contiguous;
        EXPECT_EQ(test::ContentMd5(*out[0], reader, *now), test::ContentMd5(*healthy->part, healthy->reader, was))
            << path;
    }
    EXPECT_GE(same, 15u);
    EXPECT_GE(contiguous, 5u);
}
