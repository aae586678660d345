// FAT and exFAT volumes rebuilt from the directory sectors a real raw pass found, compared with
// the scan of the same volume before its boot sectors (and, on FAT32, its tables) were zeroed.
#include <gtest/gtest.h>

#include "disk/DiskReader.h"
#include "discovery/Enumerate.h"
#include "engine/DiskRecoveryEngine.h"
#include "fs/PartInfo.h"
#include "support/Fixtures.h"
#include "support/FoundItems.h"
#include "support/NodePaths.h"

using namespace ravlin;

namespace {

struct Damaged {
    const char* image;
    const char* healthy;
    uint32_t fsType;
    size_t same;        // live entries at least found again
    size_t contiguous;  // unfragmented files at least compared byte for byte
};

class RebuildFromDirectories : public ::testing::TestWithParam<Damaged> {};

// The sector of cluster 2 as the healthy volume's boot sector places it.
uint64_t ClusterTwo(const PartInfo& part) {
    if (part.fsType == kFsExfat) return static_cast<const ExfatPartInfo&>(part).clusterHeapSector;
    return static_cast<const FatPartInfo&>(part).dataStart;
}

}  // namespace

// No boot sector gives the volume: the stages publish it rebuilt, as a deleted partition whose
// cluster 2 lies where it was (placed by the subdirectories' first sectors on FAT, by the carved
// files the entries match on exFAT). Every live entry comes back with its size: in its place,
// or, for a directory's later clusters that cannot be tied to it without the table, under a
// folder of their own in the lost-path folder (a long name whose slots lay in the cluster
// before as its short name); unfragmented files byte for byte.
TEST_P(RebuildFromDirectories, TheTreeComesBackAsItWas) {
    const Damaged d = GetParam();
    const auto image = test::FixtureImage(d.image);
    DiskRecoveryEngine engine(test::FullScanOf(image));
    engine.Run();
    std::vector<std::shared_ptr<PartInfo>> out;
    for (const auto& part : *engine.Output()->Partitions())
        if (part->fsType != kFsExtFind) out.push_back(part);
    ASSERT_EQ(out.size(), 1u);
    const PartInfo& rebuilt = *out[0];
    EXPECT_EQ(rebuilt.fsType, d.fsType);
    EXPECT_EQ(rebuilt.listedBySystem, 0u);
    EXPECT_EQ(test::Utf8(rebuilt.displayName), test::Utf8(kDeletedPartitionName) + "1");

    DiskReader reader;
    ASSERT_TRUE(test::OpenImage(reader, image));
    auto healthy = test::ScanVolume(test::FixtureImage(d.healthy));
    ASSERT_TRUE(healthy);
    EXPECT_EQ(rebuilt.startSector, ClusterTwo(*healthy->part));
    auto paths = test::PathsOf(rebuilt);
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
        EXPECT_EQ(now->kind == NodeKind::DeletedDirectory, was->kind == NodeKind::Directory) << path;
        if (!was->IsFileKind() || was->runs.size() != 1 || was->size == 0) continue;
        ++contiguous;
        EXPECT_EQ(test::ContentMd5(*out[0], reader, *now), test::ContentMd5(*healthy->part, healthy->reader, *was))
            << path;
    }
    EXPECT_GE(same, d.same);
    EXPECT_GE(contiguous, d.contiguous);
}

INSTANTIATE_TEST_SUITE_P(Zeroed, RebuildFromDirectories,
                         ::testing::Values(Damaged{"fat32-zeroed.img", "fat32.img", kFsFat32, 15, 5},
                                           Damaged{"exfat-zeroed.img", "exfat.img", kFsExfat, 5, 2}));
