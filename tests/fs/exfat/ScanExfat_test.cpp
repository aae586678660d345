// The exFAT scanner on volumes made by mkfs.exfat and exfat-fuse, and on hand-made entry sets.
#include <gtest/gtest.h>

#include "common/Bytes.h"
#include "discovery/PartitionDetect.h"
#include "disk/DiskReader.h"
#include "fs/FileNode.h"
#include "fs/FreeSpaceMap.h"
#include "fs/RecycleNames.h"
#include "fs/exfat/ExfatRecord.h"
#include "platform/Text.h"
#include "support/Fixtures.h"
#include "support/Manifest.h"
#include "support/NodePaths.h"

using namespace ravlin;
using namespace ravlin::test;

namespace {

using Scanned = ScannedVolume;

std::unique_ptr<Scanned> Scan(const std::string& image, uint64_t start = 0) {
    return ScanVolume(FixtureImage(image), start);
}

size_t ExpectMatchesManifest(Scanned& s, const ManifestPartition& manifest) {
    size_t checked = 0;
    for (const auto& e : manifest.entries) {
        if (!e.findable) continue;
        std::string path = e.recycledAs.empty() ? e.path : e.recycledAs;
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
        ++checked;
        if (e.directory) continue;
        EXPECT_EQ(node.size, e.size) << path;
        if (e.modified) {
            EXPECT_EQ(node.secondTime, static_cast<uint32_t>(*e.modified)) << path;
        }
        if (e.created) {
            EXPECT_EQ(node.firstTime, static_cast<uint32_t>(*e.created)) << path;
        }
        if (e.recovery != "none") {
            EXPECT_EQ(ContentMd5(*s.part, s.reader, node), e.recoveredMd5) << path;
        }
    }
    return checked;
}

std::vector<uint8_t> FileEntry(bool live, uint8_t secondaries, uint16_t attributes) {
    std::vector<uint8_t> e(32, 0);
    e[0] = live ? 0x85 : 0x05;
    e[1] = secondaries;
    StoreLE16(&e[4], attributes);
    StoreLE16(&e[10], 0x4E21);  // 2019-01-01
    StoreLE16(&e[8], 0);
    return e;
}

std::vector<uint8_t> StreamEntry(bool live, uint8_t flags, uint32_t cluster, uint64_t length) {
    std::vector<uint8_t> e(32, 0);
    e[0] = live ? 0xC0 : 0x40;
    e[1] = flags;
    StoreLE64(&e[8], length);
    StoreLE32(&e[20], cluster);
    StoreLE64(&e[24], length);
    return e;
}

std::vector<std::vector<uint8_t>> NameEntries(bool live, const std::wstring& name) {
    std::u16string units = platform::WideToUtf16(name);
    std::vector<std::vector<uint8_t>> out;
    for (size_t at = 0; at < units.size() || out.empty(); at += 15) {
        std::vector<uint8_t> e(32, 0);
        e[0] = live ? 0xC1 : 0x41;
        for (size_t i = 0; i < 15 && at + i < units.size(); ++i) StoreLE16(&e[2 + 2 * i], units[at + i]);
        out.push_back(e);
    }
    return out;
}

std::vector<uint8_t> Set(bool live, const std::wstring& name, uint8_t flags, uint32_t cluster,
                         uint64_t length, int extraSecondaries = 0, uint16_t attributes = 0x20) {
    auto names = NameEntries(live, name);
    std::vector<uint8_t> out = FileEntry(live, static_cast<uint8_t>(1 + names.size() + extraSecondaries), attributes);
    auto stream = StreamEntry(live, flags, cluster, length);
    out.insert(out.end(), stream.begin(), stream.end());
    for (const auto& n : names) out.insert(out.end(), n.begin(), n.end());
    return out;
}

}  // namespace

TEST(ExfatScan, FixtureMatchesItsManifest) {
    auto s = Scan("exfat.img");
    ASSERT_TRUE(s->part);
    EXPECT_EQ(s->part->fsType, kFsExfat);
    EXPECT_GT(ExpectMatchesManifest(*s, LoadManifest("exfat.img").partitions[0]), 30u);
}

TEST(ExfatScan, FragmentedFilesFollowTheirChainAndDeletedOnesOneRun) {
    auto s = Scan("exfat.img");
    ASSERT_TRUE(s->part);
    EXPECT_GT(s->paths.at("frag-a.bin")->runs.size(), 1u);
    EXPECT_EQ(s->paths.at("photo.jpg")->runs.size(), 1u);
    const RFileNode* deleted = s->paths.at("deleted-frag.bin");
    EXPECT_EQ(deleted->kind, NodeKind::DeletedFile);
    EXPECT_EQ(deleted->runs.size(), 1u);
    // The 255-character name is whole.
    std::string longName(251, 'N');
    longName += ".txt";
    EXPECT_TRUE(s->paths.count(longName));
    EXPECT_EQ(DisplayNameOf(*s->paths.at("$RECYCLE.BIN")), kRecycleBinDisplayName);
}

TEST(ExfatScan, TheNewerOfTwoDirectoriesOnOneClusterGetsTheChildren) {
    auto s = Scan("exfat.img");
    ASSERT_TRUE(s->part);
    const RFileNode* replaced = s->paths.at("replaced");
    const RFileNode* newdir = s->paths.at("zlast/newdir");
    EXPECT_EQ(replaced->firstSector, newdir->firstSector);
    EXPECT_EQ(replaced->kind, NodeKind::DeletedDirectory);
    EXPECT_TRUE(replaced->children.empty());
    EXPECT_TRUE(s->paths.count("zlast/newdir/fresh.txt"));
    EXPECT_GT(newdir->firstTime, replaced->firstTime);
}

TEST(ExfatScan, ABootSectorWipedIsReplacedByTheBackupRegion) {
    auto s = Scan("exfat-boot-wiped.img");
    ASSERT_TRUE(s->part);
    EXPECT_GT(ExpectMatchesManifest(*s, LoadManifest("exfat-boot-wiped.img").partitions[0]), 30u);
}

TEST(ExfatScan, PartitionsOfDisksAndTheFreeSpaceMap) {
    for (const char* disk : {"mbr-disk.img", "gpt-disk.img"}) {
        for (const auto& p : LoadManifest(disk).partitions) {
            if (p.fs != "exFAT") continue;
            auto s = Scan(disk, p.startSector);
            ASSERT_TRUE(s->part);
            EXPECT_GE(ExpectMatchesManifest(*s, p), 3u) << disk;
        }
    }
    DiskReader reader;
    ASSERT_TRUE(reader.OpenPath(FixtureImage("exfat.img").wstring()));
    FreeSpaceMap map;
    ASSERT_TRUE(LoadFreeSpaceMap(reader, 0, map));
    EXPECT_TRUE(map.InUse(0));  // the bitmap's own cluster
    EXPECT_FALSE(map.InUse(map.clusterCount - 1));
}

TEST(ExfatSets, DeletedSetsDecodeAndBrokenOnesAreDropped) {
    std::vector<uint8_t> dir;
    auto add = [&](const std::vector<uint8_t>& bytes) { dir.insert(dir.end(), bytes.begin(), bytes.end()); };
    add(Set(true, L"live.txt", 1, 10, 5000));
    add(Set(false, L"gone.jpg", 3, 20, 7000));
    add(Set(true, std::wstring(300, L'x'), 3, 30, 10));
    add(Set(true, L"short.txt", 3, 40, 10, 2));  // claims two more entries than follow
    add(Set(true, L"Folder", 3, 50, 4096, 0, 0x10));
    std::vector<ExfatDirEntry> sets;
    ParseEntrySets(dir, sets);
    ASSERT_EQ(sets.size(), 4u);
    EXPECT_EQ(sets[0].name, L"live.txt");
    EXPECT_FALSE(sets[0].deleted);
    EXPECT_TRUE(sets[0].usesFatChain);
    EXPECT_EQ(sets[1].name, L"gone.jpg");
    EXPECT_TRUE(sets[1].deleted);
    EXPECT_FALSE(sets[1].usesFatChain);
    EXPECT_EQ(sets[1].firstCluster, 20u);
    EXPECT_EQ(sets[1].length, 7000u);
    EXPECT_EQ(sets[2].name.size(), 259u);  // cut before it reaches 260
    EXPECT_EQ(sets[3].name, L"Folder");    // the incomplete set before it never completed
    EXPECT_TRUE(sets[3].directory);
    EXPECT_EQ(sets[0].creationTime, 1546300800u);
    EXPECT_TRUE(sets[0].localTime);
    EXPECT_EQ(ExfatTimeToUnix(0, 0), 0u);
}

// Windows writes the zone's offset beside each time (bit 7: valid; signed 15-minute steps):
// such times are UTC; without it, or with only one of the two, they stay wall-clock times.
TEST(ExfatSets, TimesWithAValidUtcOffsetBecomeUtc) {
    auto parsed = [](uint8_t createOffset, uint8_t modifyOffset) {
        std::vector<uint8_t> dir = Set(true, L"t.txt", 1, 10, 5);
        std::copy(dir.begin() + 8, dir.begin() + 12, dir.begin() + 12);  // modified when created
        dir[22] = createOffset;
        dir[23] = modifyOffset;
        std::vector<ExfatDirEntry> sets;
        ParseEntrySets(dir, sets);
        EXPECT_EQ(sets.size(), 1u);
        return sets.empty() ? ExfatDirEntry() : sets[0];
    };
    ExfatDirEntry east = parsed(0x84, 0x88);  // +1 h, +2 h
    EXPECT_FALSE(east.localTime);
    EXPECT_EQ(east.creationTime, 1546300800u - 3600);
    EXPECT_EQ(east.modificationTime, 1546300800u - 7200);
    ExfatDirEntry west = parsed(0xEC, 0xEC);  // -5 h: 0x6C is -20 steps
    EXPECT_FALSE(west.localTime);
    EXPECT_EQ(west.modificationTime, 1546300800u + 5 * 3600);
    ExfatDirEntry half = parsed(0x84, 0x08);  // the modification offset is not valid
    EXPECT_TRUE(half.localTime);
    EXPECT_EQ(half.creationTime, 1546300800u);
    EXPECT_EQ(parsed(0x80, 0x80).creationTime, 1546300800u);
}

TEST(ExfatGeometryTest, CorruptionsOneFieldAtATime) {
    auto s = Scan("exfat.img");
    ASSERT_TRUE(s->part);
    auto& part = static_cast<ExfatPartInfo&>(*s->part);
    std::vector<uint8_t> boot(part.bootSector.begin(), part.bootSector.end());
    ExfatGeometry g;
    ASSERT_TRUE(DecodeExfatGeometry(boot, 0, g));
    EXPECT_EQ(g.bytesPerSector, 512u);
    EXPECT_TRUE(part.IsClaimed(12));
    struct Case {
        const char* what;
        size_t offset;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"name", 3, {'E', 'X', 'F', 'A', 'X'}},
        {"signature", 510, {0x55, 0x55}},
        {"sector shift 8", 108, {8}},
        {"sector shift 13", 108, {13}},
        {"cluster shift 26", 109, {26}},
        {"no FAT offset", 80, {0, 0, 0, 0}},
        {"no FAT length", 84, {0, 0, 0, 0}},
        {"no heap", 88, {0, 0, 0, 0}},
        {"no clusters", 92, {0, 0, 0, 0}},
        {"root cluster 1", 96, {1, 0, 0, 0}},
        {"no volume length", 72, {0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        auto bad = boot;
        std::copy(c.bytes.begin(), c.bytes.end(), bad.begin() + static_cast<long>(c.offset));
        EXPECT_FALSE(DecodeExfatGeometry(bad, 0, g)) << c.what;
    }
    // A volume of 12 sectors has no room for a backup boot region: none is claimed.
    auto tiny = boot;
    StoreLE64(&tiny[72], 12);
    auto small = MakeExfatPartition(s->reader, 0, tiny.data());
    ASSERT_TRUE(small);
    EXPECT_TRUE(small->IsClaimed(0));
    EXPECT_FALSE(small->IsClaimed(12));
}

TEST(ExfatChains, EndBadBrokenAndLoopingChains) {
    ExfatGeometry g;
    g.clusterCount = 100;  // clusters 2 to 101
    g.clusterHeapSector = 1000;
    g.clusterSectors = 8;
    std::vector<uint8_t> fat(4 * 102, 0);
    auto set = [&](uint32_t cluster, uint32_t entry) {
        for (int i = 0; i < 4; ++i) fat[4 * cluster + i] = static_cast<uint8_t>(entry >> (8 * i));
    };
    set(10, 11), set(11, 12), set(12, 40), set(40, 0xFFFFFFFF);  // two runs
    set(50, 51), set(51, 0xFFFFFFF7);                             // into a bad cluster
    set(60, 102);                                                 // past the last cluster
    set(70, 71), set(71, 72), set(72, 70);                        // a loop
    set(101, 0xFFFFFFFF);                                         // the last cluster alone
    std::vector<DataRun> runs;
    ASSERT_TRUE(ExfatChainToRuns(10, fat, g, runs));
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].startSector, 1000u + 8 * 8);
    EXPECT_EQ(runs[0].sectorCount, 24u);
    EXPECT_EQ(runs[1].startSector, 1000u + 38 * 8);
    EXPECT_EQ(runs[1].sectorCount, 8u);
    EXPECT_FALSE(ExfatChainToRuns(50, fat, g, runs));
    EXPECT_EQ(runs.size(), 1u);  // what came before the bad cluster
    EXPECT_FALSE(ExfatChainToRuns(60, fat, g, runs));
    EXPECT_EQ(runs.size(), 1u);
    EXPECT_FALSE(ExfatChainToRuns(70, fat, g, runs));
    EXPECT_TRUE(ExfatChainToRuns(101, fat, g, runs));
    EXPECT_EQ(runs.size(), 1u);
    EXPECT_FALSE(ExfatChainToRuns(102, fat, g, runs));
    EXPECT_FALSE(ExfatChainToRuns(1, fat, g, runs));
    EXPECT_FALSE(ExfatChainToRuns(20, fat, g, runs));  // a free entry: the chain is broken at once
}
