// The FAT scanner on volumes made by mkfs.fat and mtools, and on hand-made slots and volumes.
#include <gtest/gtest.h>

#include <fstream>

#include "discovery/PartitionDetect.h"
#include "disk/DiskReader.h"
#include "fs/FileNode.h"
#include "fs/FreeSpaceMap.h"
#include "fs/RecycleNames.h"
#include "fs/fat/FatBuilder.h"
#include "fs/fat/FatRecord.h"
#include "support/Fixtures.h"
#include "support/Manifest.h"
#include "support/NodePaths.h"
#include "support/TempDir.h"

using namespace ravlin;
using namespace ravlin::test;

namespace {

using Scanned = ScannedVolume;

std::unique_ptr<Scanned> ScanImage(const std::filesystem::path& image, uint64_t start = 0,
                                   bool deletedOnly = false) {
    return ScanVolume(image, start, false, deletedOnly);
}

std::string ScannedPath(const ManifestEntry& e) {
    if (!e.recycledAs.empty()) return e.recycledAs;
    if (!e.recoveredName.empty()) {
        std::string parent = e.Parent();
        return parent.empty() ? e.recoveredName : parent + "/" + e.recoveredName;
    }
    return e.path;
}

// Every findable entry: name, kind, size, times, flags and what its content reads back as.
size_t ExpectMatchesManifest(Scanned& s, const ManifestPartition& manifest) {
    size_t checked = 0;
    for (const auto& e : manifest.entries) {
        if (!e.findable) continue;
        std::string path = ScannedPath(e);
        auto it = s.paths.find(path);
        if (it == s.paths.end()) {
            ADD_FAILURE() << "missing " << path;
            continue;
        }
        const RFileNode& node = *it->second;
        bool deleted = e.deleted || e.path.rfind("$RECYCLE.BIN", 0) == 0;
        NodeKind want = e.directory ? (deleted ? NodeKind::DeletedDirectory : NodeKind::Directory)
                                    : (deleted ? NodeKind::DeletedFile : NodeKind::File);
        EXPECT_EQ(node.kind, want) << path;
        EXPECT_EQ(node.readOnly != 0, e.HasAttribute("readonly")) << path;
        EXPECT_EQ(node.hidden != 0, e.HasAttribute("hidden")) << path;
        EXPECT_EQ(node.system != 0, e.HasAttribute("system")) << path;
        ++checked;
        if (e.directory) continue;
        EXPECT_EQ(node.size, e.size) << path;
        if (e.modified) {
            EXPECT_EQ(node.secondTime, static_cast<uint32_t>(*e.modified)) << path;
        }
        if (e.created) {
            EXPECT_EQ(node.firstTime, static_cast<uint32_t>(*e.created)) << path;
        }
        if (e.recovery == "none") continue;
        uint64_t read = 0;
        EXPECT_EQ(ContentMd5(*s.part, s.reader, node, &read), e.recoveredMd5) << path;
        if (e.recoveredSize) {
            EXPECT_EQ(read, *e.recoveredSize) << path;
        }
    }
    return checked;
}

}  // namespace

TEST(FatScan, Fat16FixtureMatchesItsManifest) {
    auto s = ScanImage(FixtureImage("fat16.img"));
    ASSERT_TRUE(s->part);
    EXPECT_EQ(s->part->fsType, kFsFat16);
    EXPECT_GT(ExpectMatchesManifest(*s, LoadManifest("fat16.img").partitions[0]), 30u);
}

TEST(FatScan, Fat32FixtureMatchesItsManifestIncludingTheLostHighWord) {
    auto s = ScanImage(FixtureImage("fat32.img"));
    ASSERT_TRUE(s->part);
    EXPECT_EQ(s->part->fsType, kFsFat32);
    auto manifest = LoadManifest("fat32.img");
    EXPECT_GT(ExpectMatchesManifest(*s, manifest.partitions[0]), 30u);
    // The deleted JPEG kept only the low word of its cluster; the pass found the real one.
    const ManifestEntry* lost = manifest.partitions[0].Find("LOSTHIGH.JPG");
    ASSERT_NE(lost, nullptr);
    const RFileNode* node = s->paths.at("_OSTHIGH.JPG");
    auto& fat = static_cast<FatPartInfo&>(*s->part);
    FatGeometry g;
    ASSERT_TRUE(DecodeFatGeometry(fat.bootSector, 0, g));
    uint64_t cluster = (node->firstSector - g.dataStart) / g.clusterSectors + 2;
    ASSERT_TRUE(lost->firstCluster);
    EXPECT_EQ(cluster, *lost->firstCluster);
    EXPECT_GT(cluster, 0xFFFFu);
}

TEST(FatScan, TheRecycleBinAndItsItems) {
    auto s = ScanImage(FixtureImage("fat16.img"));
    ASSERT_TRUE(s->part);
    const RFileNode* bin = s->paths.at("$RECYCLE.BIN");
    EXPECT_EQ(DisplayNameOf(*bin), kRecycleBinDisplayName);
    EXPECT_EQ(s->paths.at("Users/Ann/Documents/plan.docx")->kind, NodeKind::DeletedFile);
    EXPECT_EQ(s->paths.at("Projects/Old Stuff/photo.jpg")->typeId, 46u);
}

TEST(FatScan, ABootSectorWipedIsReplacedByItsBackup) {
    auto s = ScanImage(FixtureImage("fat32-boot-wiped.img"));
    ASSERT_TRUE(s->part);
    EXPECT_EQ(s->part->volumeSector, 0u);
    EXPECT_GT(ExpectMatchesManifest(*s, LoadManifest("fat32-boot-wiped.img").partitions[0]), 30u);
}

TEST(FatScan, DeletedOnlyHidesLiveFilesAndPartitionsOfADisk) {
    auto s = ScanImage(FixtureImage("fat16.img"), 0, true);
    EXPECT_FALSE(s->paths.count("readme.txt"));
    EXPECT_TRUE(s->paths.count("Quarterly report.doc"));
    auto manifest = LoadManifest("mbr-disk.img");
    for (const auto& p : manifest.partitions) {
        if (p.fs != "FAT16" && p.fs != "FAT32") continue;
        auto disk = ScanImage(FixtureImage("mbr-disk.img"), p.startSector);
        ASSERT_TRUE(disk->part);
        EXPECT_EQ(disk->part->startSector, p.startSector);
        EXPECT_GT(ExpectMatchesManifest(*disk, p), 10u);
    }
}

TEST(FatScan, FreeSpaceMapMarksUsedClusters) {
    DiskReader reader;
    ASSERT_TRUE(reader.OpenPath(FixtureImage("fat16.img").wstring()));
    FreeSpaceMap map;
    ASSERT_TRUE(LoadFreeSpaceMap(reader, 0, map));
    EXPECT_EQ(map.sectorsPerCluster, 4u);
    EXPECT_TRUE(map.InUse(0));                    // cluster 2: readme.txt
    EXPECT_FALSE(map.InUse(map.clusterCount - 1));  // the volume's end is free
}

// ---- directory slots ----

TEST(FatSlots, LongShortAndDeletedNames) {
    std::vector<uint8_t> dir;
    auto report = ShortSlot("REPORT  DOC", 0x20, 5, 5000);
    report[0] = 0xE5;
    Append(dir, LongSlots(L"Quarterly report.doc", Checksum(ShortSlot("REPORT  DOC", 0x20, 5, 5000)), true));
    Append(dir, report);
    auto bare = ShortSlot("REPORT  DOC", 0x20, 9, 4000);
    bare[0] = 0xE5;
    Append(dir, bare);
    auto readme = ShortSlot("README  TXT", 0x20, 12, 10);
    Append(dir, LongSlots(L"README", Checksum(readme)));
    Append(dir, readme);
    auto mismatch = ShortSlot("OTHER   TXT", 0x20, 14, 10);
    Append(dir, LongSlots(L"Real long name.txt", static_cast<uint8_t>(Checksum(mismatch) + 1)));
    Append(dir, mismatch);
    Append(dir, ShortSlot("LOWER   TXT", 0x20, 15, 10, 0x18));
    Append(dir, ShortSlot(".          ", 0x10, 3, 0));
    Append(dir, ShortSlot("LABEL      ", 0x08, 0, 0));
    Append(dir, ShortSlot("EMPTYDAT   ", 0x20, 0, 0, 0, 0, 0));
    std::vector<FatDirEntry> entries;
    ASSERT_TRUE(ParseDirectory(dir, 7, true, entries));
    ASSERT_EQ(entries.size(), 6u);
    EXPECT_EQ(entries[0].name, L"Quarterly report.doc");
    EXPECT_TRUE(entries[0].deleted);
    EXPECT_EQ(entries[1].name, L"\u00E5EPORT.DOC");  // the scanner turns the mark into "_"
    EXPECT_TRUE(entries[1].deleted);
    EXPECT_EQ(entries[2].name, L"README.TXT");  // the long name lacks the extension
    EXPECT_EQ(entries[3].name, L"OTHER.TXT");   // checksum mismatch: long name ignored
    EXPECT_EQ(entries[4].name, L"lower.txt");
    EXPECT_EQ(entries[5].name, L"EMPTYDAT");
    EXPECT_EQ(entries[5].creationTime, 0u);
    EXPECT_EQ(entries[2].directoryCluster, 7u);
    EXPECT_EQ(entries[0].modificationTime, 1557126490u);  // 2019-05-06 07:08:10 UTC
    EXPECT_TRUE(IsFatDirectorySector(std::span<const uint8_t>(dir.data(), 32 * 8)));
}

TEST(FatSlots, EntryChecksRejectImpossibleEntries) {
    struct Case {
        const char* what;
        std::vector<uint8_t> slot;
        bool kept;
    } cases[] = {
        {"month 13", ShortSlot("BAD     TXT", 0x20, 5, 10, 0, (39 << 9) | (13 << 5) | 1), false},
        {"hour 25", ShortSlot("BAD     TXT", 0x20, 5, 10, 0, kDate, 25 << 11), false},
        {"a star in the name", ShortSlot("BA*     TXT", 0x20, 5, 10), false},
        {"a leading space", ShortSlot(" AD     TXT", 0x20, 5, 10), false},
        {"a live file with data but no cluster", ShortSlot("NOCLUS  TXT", 0x20, 0, 10), false},
        {"a live directory with a size", ShortSlot("DIR        ", 0x10, 5, 10), false},
        {"a zero date", ShortSlot("ZERO    TXT", 0x20, 5, 10, 0, 0, 0), true},
        {"double-byte name", ShortSlot("\x81\x7C" "AB    TXT", 0x20, 5, 10), true},
    };
    for (const auto& c : cases) {
        std::vector<FatDirEntry> entries;
        ParseDirectory(c.slot, 0, false, entries);
        EXPECT_EQ(entries.size(), c.kept ? 1u : 0u) << c.what;
    }
    auto deletedNoCluster = ShortSlot("GONE    TXT", 0x20, 0, 10);
    deletedNoCluster[0] = 0xE5;
    std::vector<FatDirEntry> entries;
    ParseDirectory(deletedNoCluster, 0, false, entries);
    EXPECT_EQ(entries.size(), 1u);  // deleted entries pass without a cluster
}

TEST(FatSlots, DirectorySectorTest) {
    std::vector<uint8_t> good;
    Append(good, ShortSlot("A       TXT", 0x20, 5, 10));
    good.resize(512, 0);
    EXPECT_TRUE(IsFatDirectorySector(good));
    auto trailing = good;
    trailing[100] = 1;  // bytes after the end slot must be zero
    EXPECT_FALSE(IsFatDirectorySector(trailing));
    std::vector<uint8_t> device;
    Append(device, ShortSlot("DEV     TXT", 0x40, 5, 10));
    EXPECT_FALSE(IsFatDirectorySector(device));
    std::vector<uint8_t> badLabel;
    Append(badLabel, ShortSlot("LA?EL      ", 0x08, 0, 0));
    EXPECT_FALSE(IsFatDirectorySector(badLabel));
    std::vector<uint8_t> randomBytes(512);
    for (size_t i = 0; i < randomBytes.size(); ++i) randomBytes[i] = static_cast<uint8_t>(i * 37 + 11);
    EXPECT_FALSE(IsFatDirectorySector(randomBytes));
    // A long-name set whose orders do not fall by one.
    auto s = ShortSlot("LONGNA~1TXT", 0x20, 5, 10);
    auto slots = LongSlots(L"a name long enough for two slots.txt", Checksum(s));
    slots[32] = 3;
    std::vector<uint8_t> broken = slots;
    Append(broken, s);
    EXPECT_FALSE(IsFatDirectorySector(broken));
}

TEST(FatSlots, DosTimes) {
    EXPECT_EQ(DosTimeToUnix(0, 0x1234), 0u);
    EXPECT_EQ(DosTimeToUnix((0 << 9) | (1 << 5) | 1, 0), 315532800u);  // 1980-01-01
    EXPECT_EQ(DosTimeToUnix(kDate, kTime), 1557126490u);
}

// ---- chains and hand-made volumes ----

TEST(FatChains, ChainsBreakAndLoopsEnd) {
    Fat32Image image;
    image.Chain({10, 11, 12, 20, 21});
    image.SetFat(30, 31);
    image.SetFat(31, 30);  // a loop
    image.SetFat(40, 5000);  // past the table's clusters
    FatGeometry g;
    ASSERT_TRUE(DecodeFatGeometry(std::span<const uint8_t>(image.Bytes().data(), 512), 0, g));
    std::span<const uint8_t> fat(image.Bytes().data() + 32 * 512, Fat32Image::kFatSectors * 512);
    std::vector<DataRun> runs;
    EXPECT_TRUE(ChainToRuns(10, fat, g, runs));
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].startSector, g.ClusterSector(10));
    EXPECT_EQ(runs[0].sectorCount, 3u);
    EXPECT_EQ(runs[1].sectorCount, 2u);
    EXPECT_FALSE(ChainToRuns(30, fat, g, runs));
    EXPECT_FALSE(ChainToRuns(40, fat, g, runs));
    EXPECT_EQ(runs.size(), 1u);  // the run before the break is kept
    EXPECT_FALSE(ChainToRuns(1, fat, g, runs));
    EXPECT_FALSE(ChainToRuns(g.maxCluster + 1, fat, g, runs));
}

namespace {
std::unique_ptr<Scanned> ScanBytes(const std::vector<uint8_t>& bytes, TempDir& temp) {
    auto path = temp / "hand.img";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return ScanImage(path);
}
}  // namespace

TEST(FatChains, DeletedFilesStopAtClustersInUseAndLoopsAreEnteredOnce) {
    Fat32Image image;
    std::vector<uint8_t> root;
    // A deleted 10-cluster file whose third cluster is in use again.
    auto gone = ShortSlot("GONE    BIN", 0x20, 100, 10 * 512);
    gone[0] = 0xE5;
    Append(root, gone);
    image.SetFat(102, 0x0FFFFFFF);
    for (uint32_t c = 100; c < 110; ++c) image.FillCluster(c, static_cast<uint8_t>(c));
    // A directory whose entries point back at itself and at the root.
    Append(root, ShortSlot("LOOP       ", 0x10, 3, 0));
    image.SetFat(3, 0x0FFFFFFF);
    std::vector<uint8_t> loop;
    Append(loop, ShortSlot(".          ", 0x10, 3, 0));
    Append(loop, ShortSlot("..         ", 0x10, 0, 0));
    Append(loop, ShortSlot("SELF       ", 0x10, 3, 0));
    Append(loop, ShortSlot("BACK       ", 0x10, 2, 0));
    Append(loop, ShortSlot("INSIDE  TXT", 0x20, 50, 5));
    image.SetFat(50, 0x0FFFFFFF);
    image.PutCluster(3, loop);
    image.PutCluster(2, root);
    TempDir temp;
    auto s = ScanBytes(image.Bytes(), temp);
    ASSERT_TRUE(s->part);
    const RFileNode* file = s->paths.at("_ONE.BIN");
    EXPECT_EQ(file->kind, NodeKind::DeletedFile);
    ASSERT_EQ(file->runs.size(), 1u);
    EXPECT_EQ(file->runs[0].sectorCount, 2u);
    EXPECT_TRUE(s->paths.count("LOOP/INSIDE.TXT"));
    EXPECT_TRUE(s->paths.count("LOOP/SELF"));
    EXPECT_TRUE(s->paths.count("LOOP/BACK"));
    EXPECT_FALSE(s->paths.count("LOOP/SELF/INSIDE.TXT"));  // not entered twice
    EXPECT_FALSE(s->paths.count("LOOP/BACK/LOOP"));
}

TEST(FatChains, AbsurdGeometryIsRefused) {
    Fat32Image image;
    std::vector<uint8_t> boot(image.Bytes().begin(), image.Bytes().begin() + 512);
    FatGeometry g;
    EXPECT_TRUE(DecodeFatGeometry(boot, 0, g));
    struct Case {
        const char* what;
        size_t offset;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"bytes per sector 0", 11, {0, 0}},
        {"bytes per sector 768", 11, {0x00, 0x03}},
        {"no sectors per cluster", 13, {0}},
        {"no FAT", 16, {0}},
        {"FAT larger than the volume", 36, {0xFF, 0xFF, 0xFF, 0x0F}},
        {"root cluster 1", 44, {1, 0, 0, 0}},
        {"no sectors", 32, {0, 0, 0, 0}},
        {"exFAT name", 3, {'E', 'X', 'F', 'A', 'T', ' ', ' ', ' '}},
    };
    for (const auto& c : cases) {
        auto bad = boot;
        std::copy(c.bytes.begin(), c.bytes.end(), bad.begin() + static_cast<long>(c.offset));
        EXPECT_FALSE(DecodeFatGeometry(bad, 0, g)) << c.what;
    }
}

