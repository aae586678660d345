// FAT and exFAT volumes as other tools, older systems and damage leave them: slots no tool of
// ours writes, directories that share a cluster, and boot sectors whose sizes make no sense.
#include <gtest/gtest.h>

#include <fstream>

#include "discovery/PartitionDetect.h"
#include "disk/DiskReader.h"
#include "fs/FreeSpaceMap.h"
#include "fs/exfat/ExfatRecord.h"
#include "fs/fat/FatRecord.h"
#include "platform/DeviceTable.h"
#include "platform/FaultInjection.h"
#include "support/Fixtures.h"
#include "support/Manifest.h"
#include "support/NodePaths.h"

using namespace ravlin;
using namespace ravlin::test;

namespace {

using Scanned = ScannedVolume;

std::unique_ptr<Scanned> ScanFixture(const std::string& name) { return ScanVolume(FixtureImage(name)); }

// Where a scan puts an entry: recycle-bin items back home, deleted 8.3 names as recovered, in
// their folders' recovered names too.
std::string ShownAt(const ManifestPartition& p, const ManifestEntry& e) {
    if (!e.recycledAs.empty()) return e.recycledAs;
    std::string parent = e.Parent();
    if (const ManifestEntry* folder = parent.empty() ? nullptr : p.Find(parent)) parent = ShownAt(p, *folder);
    const std::string leaf = e.recoveredName.empty() ? e.Leaf() : e.recoveredName;
    return parent.empty() ? leaf : parent + "/" + leaf;
}

// Each findable entry where it belongs, of its kind, with its content.
void ExpectEveryEntry(Scanned& s, const std::string& image, size_t atLeast = 12) {
    Manifest manifest = LoadManifest(image);
    size_t checked = 0;
    for (const auto& e : manifest.partitions[0].entries) {
        if (!e.findable) continue;
        const std::string shown = ShownAt(manifest.partitions[0], e);
        auto it = s.paths.find(shown);
        if (it == s.paths.end()) {
            ADD_FAILURE() << image << ": missing " << shown;
            continue;
        }
        const RFileNode& node = *it->second;
        NodeKind want = e.directory ? (e.deleted ? NodeKind::DeletedDirectory : NodeKind::Directory)
                                    : (e.deleted ? NodeKind::DeletedFile : NodeKind::File);
        EXPECT_EQ(node.kind, want) << e.path;
        ++checked;
        if (e.directory) continue;
        EXPECT_EQ(node.size, e.size) << e.path;
        EXPECT_EQ(node.secondTime, e.modified ? static_cast<uint32_t>(*e.modified) : 0u) << e.path;
        if (e.recovery != "none") {
            EXPECT_EQ(ContentMd5(*s.part, s.reader, node), e.recoveredMd5) << e.path;
        }
    }
    EXPECT_GE(checked, atLeast) << image;
}

}  // namespace

// Slots that mtools wrote and a byte edit damaged, as other systems leave them: long names of
// 16 and 20 slots, a day-0 date, an hour-24 time, a folder entry that states a size, deleted
// long-name slots before a live short entry and deleted long-name slots of attribute 0. Each
// costs at most its own slot; every other file is there.
class FatQuirks : public ::testing::TestWithParam<const char*> {};

TEST_P(FatQuirks, EveryFileFsckSeesIsFoundAndNothingElse) {
    auto s = ScanFixture(GetParam());
    ASSERT_TRUE(s->part);
    ExpectEveryEntry(*s, GetParam());
    // A live file is not named by the stale long name of a deleted one, nor made deleted by it.
    EXPECT_FALSE(s->paths.count("Budget report 2019.xls"));
    ASSERT_TRUE(s->paths.count("EMPTY.TXT"));
    EXPECT_EQ(s->paths.at("EMPTY.TXT")->kind, NodeKind::File);
    // The folder that states a size keeps its files; its own size is none.
    EXPECT_EQ(s->paths.at("Sized")->size, 0u);
    // A deleted folder whose cluster a live one took does not hand its files over.
    ASSERT_TRUE(s->paths.count("_LD"));
    EXPECT_TRUE(s->paths.at("_LD")->children.empty());
    EXPECT_EQ(s->paths.at("Second Folder Name/fresh.txt")->kind, NodeKind::File);
    size_t fresh = 0;
    for (const auto& [path, node] : s->paths) fresh += path.ends_with("fresh.txt");
    EXPECT_EQ(fresh, 1u);
}

INSTANTIATE_TEST_SUITE_P(Crafted, FatQuirks, ::testing::Values("fat16-quirks.img", "fat32-quirks.img"));

// A 1.44 MB floppy that mkfs.fat made FAT12 and mtools filled: its 12-bit table is read (two
// entries in three bytes, an odd cluster's in the high bits), and every live and deleted file
// comes back with its content, the deleted folder's files too.
TEST(Fat12, AFloppyIsReadWithItsTwelveBitTable) {
    auto s = ScanFixture("fat12-floppy.img");
    ASSERT_TRUE(s->part);
    EXPECT_EQ(s->part->fsType, kFsFat12);
    ExpectEveryEntry(*s, "fat12-floppy.img", 10);
}

// Long names of up to 20 slots (0x40 | 20 = 0x54) are long names wherever slots are judged.
TEST(FatSlots, LongNameSetsOfTwentySlotsPassTheSectorTest) {
    DiskReader reader;
    ASSERT_TRUE(reader.OpenPath(FixtureImage("fat16-quirks.img").wstring()));
    FatGeometry g;
    std::vector<uint8_t> boot(512);
    ASSERT_TRUE(reader.ReadSectors(boot.data(), 0, 1));
    ASSERT_TRUE(DecodeFatGeometry(boot, 0, g));
    std::vector<uint8_t> root(size_t{g.rootDirSectors512} * 512);
    ASSERT_TRUE(reader.ReadSectors(root.data(), g.rootDirSector, g.rootDirSectors512));
    // The sector holding the 20-slot set's first slot (order byte 0x54).
    size_t at = 0;
    while (at < root.size() && !(root[at] == 0x54 && root[at + 11] == 0x0F)) at += 32;
    ASSERT_LT(at, root.size());
    std::vector<uint8_t> sector(root.begin() + static_cast<long>(at / 512 * 512),
                                root.begin() + static_cast<long>(at / 512 * 512 + 512));
    EXPECT_TRUE(IsFatDirectorySector(sector));
    // A deleted directory's cluster holding such a set is still taken for a directory.
    std::vector<FatDirEntry> entries;
    ASSERT_TRUE(ParseDirectory(root, 0, false, entries));
    bool longest = false;
    for (const auto& e : entries) longest |= e.name.size() == 255;
    EXPECT_TRUE(longest);
}

// A FAT of 0x7FFFFFF0 sectors on a volume of 2^32 - 1 sectors: the table is loaded only as far
// as the clusters the device can hold, and claimed as a range.
TEST(FatBootFields, AnAbsurdFatSizeCostsNoMoreThanTheDeviceHolds) {
    DiskReader reader;
    auto image = FixtureImage("fat32-huge-fat.img");
    ASSERT_TRUE(reader.OpenPath(image.wstring()));
    std::shared_ptr<PartInfo> part;
    ASSERT_TRUE(DetectPartitionAt(reader, 0, part, 0));
    auto& fat = static_cast<FatPartInfo&>(*part);
    uint64_t deviceClusters = std::filesystem::file_size(image) / 512;
    EXPECT_LE(fat.fat.size(), (deviceClusters + 2) * 4 + 512);
    EXPECT_LT(fat.claimedSectors.size(), 16u);
    EXPECT_FALSE(fat.IsSectorFree(fat.volumeSector + 32 + 1000));  // inside the stated FAT
    EXPECT_TRUE(ScanPartition(*part, reader, nullptr, false, false));
}

// exFAT with FatLength 0xFFFFFFFF: the entries of the clusters the volume has are loaded and
// every file is found as before.
TEST(FatBootFields, AnExfatFatLengthOfAllOnesStillScans) {
    auto s = ScanFixture("exfat-huge-fat.img");
    ASSERT_TRUE(s->part);
    auto& part = static_cast<ExfatPartInfo&>(*s->part);
    EXPECT_LE(part.fat.size(), (uint64_t{part.clusterCount} + 2) * 4 + 512);
    EXPECT_LT(part.claimedSectors.size(), 64u);
    Manifest base = LoadManifest("exfat.img");
    size_t found = 0, live = 0;
    for (const auto& e : base.partitions[0].entries) {
        if (e.directory || e.deleted || !e.findable) continue;
        ++live;
        auto it = s->paths.find(ShownAt(base.partitions[0], e));
        if (it != s->paths.end() && ContentMd5(*s->part, s->reader, *it->second) == e.md5) ++found;
    }
    EXPECT_EQ(found, live);
}

// A sectors-per-cluster shift of 22 (2 GiB clusters) is refused; the backup boot region serves
// the scan, and the free-space map is not made from it.
TEST(FatBootFields, AnExfatClusterShiftPastThirtyTwoMebibytesFallsBackToTheBackup) {
    auto s = ScanFixture("exfat-cluster-shift.img");
    ASSERT_TRUE(s->part);
    EXPECT_EQ(s->part->fsType, kFsExfat);
    Manifest base = LoadManifest("exfat.img");
    for (const auto& e : base.partitions[0].entries) {
        if (e.directory || !e.findable) continue;
        EXPECT_TRUE(s->paths.count(ShownAt(base.partitions[0], e))) << e.path;
    }
    FreeSpaceMap map;
    EXPECT_FALSE(LoadExfatFreeSpace(s->reader, 0, map));
}

// The FAT of a failing disk is read piece by piece, and a stop ends that read.
TEST(FatBootFields, AStopEndsTheSlowReadOfAFailingTable) {
    int err = 0;
    auto file = platform::OpenFileBackend(FixtureImage("fat32.img").string(), err);
    ASSERT_TRUE(file);
    auto faulty = std::make_shared<platform::FaultInjectingBackend>(file);
    const std::wstring device = L"\\\\.\\PhysicalDrive56";
    platform::RegisterDeviceFactory(device, [faulty] { return faulty; });
    DiskReader reader;
    DiskSourceInfo src;
    src.devicePath = device;
    ASSERT_TRUE(reader.Open(src, 0, *file->SizeBytes() / 512));
    std::vector<uint8_t> boot(512);
    ASSERT_TRUE(reader.ReadSectors(boot.data(), 0, 1));
    FatGeometry g;
    ASSERT_TRUE(DecodeFatGeometry(boot, 0, g));
    faulty->FailSectors(g.fat1Sector, 2 * g.fatSectors512);  // both copies unreadable
    faulty->ClearReads();
    int polls = 0;
    auto part = MakeFatPartition(reader, 0, nullptr, [&] { return ++polls < 3; });
    platform::UnregisterDevice(device);
    ASSERT_TRUE(part);
    EXPECT_EQ(polls, 3);
    // Two pieces tried sector by sector from both copies, and the whole-table attempts.
    EXPECT_LE(faulty->Reads().size(), 2u * 2 * 128 + 8);
}
