// Partition records: the segmented node store, counters, post-scan passes, content reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "disk/DiskReader.h"
#include "fs/PartInfo.h"
#include "support/Fixtures.h"
#include "support/TempDir.h"

using namespace ravlin;

namespace {

RFileNode Node(uint32_t id, NodeKind kind, uint32_t parent = 0, const wchar_t* name = L"n") {
    RFileNode node;
    node.id = id;
    node.kind = kind;
    node.parentId = parent;
    node.name = name;
    return node;
}

}  // namespace

TEST(NodeStore, SegmentBoundariesAndTheLastPlace) {
    ExtFindPartInfo part;
    for (uint32_t id : {1u, 1999u, 2000u, 9999u, 10000u, 49999u, 50000u, 149999u, 150000u,
                        102149999u}) {
        EXPECT_EQ(part.StoreNode(Node(id, NodeKind::File)), id);
        ASSERT_NE(part.NodeAt(id), nullptr) << id;
        EXPECT_EQ(part.NodeAt(id)->id, id);
    }
    // Neighbours across a boundary live in different segments, so both exist independently.
    EXPECT_NE(part.NodeAt(1999) + 1, part.NodeAt(2000));
    EXPECT_EQ(part.NodeAt(1998) + 1, part.NodeAt(1999));
    EXPECT_EQ(part.StoreNode(Node(102150000u, NodeKind::File)), 0u);
    EXPECT_EQ(part.NodeAt(102150000u), nullptr);
    EXPECT_EQ(part.StoreNode(Node(0, NodeKind::File)), 0u);
    EXPECT_EQ(part.NextNodeId(), 102150000u);
    EXPECT_EQ(part.LiveNodeCount(), 10u);
    // A segment never touched costs nothing and finds nothing.
    EXPECT_EQ(part.NodeAt(5000000), nullptr);
}

TEST(NodeStore, LiveCountFollowsStoreReplaceAndInvalidate) {
    ExtFindPartInfo part;
    part.StoreNode(Node(5, NodeKind::File));
    part.StoreNode(Node(6, NodeKind::Directory));
    EXPECT_EQ(part.LiveNodeCount(), 2u);
    RFileNode hidden = Node(5, NodeKind::File);
    hidden.valid = 0;
    part.StoreNode(std::move(hidden));  // a live slot replaced by a non-live node
    EXPECT_EQ(part.LiveNodeCount(), 1u);
    part.StoreNode(Node(5, NodeKind::DeletedFile));
    EXPECT_EQ(part.LiveNodeCount(), 2u);
    part.StoreNode(Node(6, NodeKind::Empty));
    EXPECT_EQ(part.LiveNodeCount(), 1u);
    EXPECT_EQ(part.LiveNodeAt(6), nullptr);
    EXPECT_NE(part.NodeAt(6), nullptr);
    EXPECT_EQ(part.NextNodeId(), 7u);  // never lowered
}

TEST(NodeStore, AddFileNodeCountsOnlyValidFiles) {
    ExtFindPartInfo part;
    part.AddFileNode(Node(3, NodeKind::File));
    part.AddFileNode(Node(4, NodeKind::DeletedFile));
    part.AddFileNode(Node(5, NodeKind::Directory));
    RFileNode invisible = Node(6, NodeKind::File);
    invisible.valid = 0;
    part.AddFileNode(std::move(invisible));
    part.AddFileNode(Node(200000000u, NodeKind::File));  // refused
    EXPECT_EQ(part.FileCount(), 2u);
}

TEST(NodeStore, AdoptOrphanMovesNodesWhoseParentIsMissingOrAFile) {
    ExtFindPartInfo part;
    part.rootNodeId = 2;
    part.orphanFolderId = 1;
    part.StoreNode(Node(1, NodeKind::DeletedDirectory, 2));
    part.StoreNode(Node(2, NodeKind::Directory, 0));
    part.StoreNode(Node(3, NodeKind::File, 2));
    part.StoreNode(Node(4, NodeKind::File, 3));     // parent is a file
    part.StoreNode(Node(5, NodeKind::File, 77));    // parent missing
    part.StoreNode(Node(6, NodeKind::File, 2));     // fine as it is
    RFileNode hiddenDir = Node(7, NodeKind::Directory, 2);
    hiddenDir.valid = 0;
    part.StoreNode(std::move(hiddenDir));
    part.StoreNode(Node(8, NodeKind::File, 7));     // parent not live
    for (uint32_t id : {1u, 2u, 3u, 4u, 5u, 6u, 8u}) part.AdoptOrphan(*part.NodeAt(id));
    EXPECT_EQ(part.NodeAt(4)->parentId, 1u);
    EXPECT_EQ(part.NodeAt(5)->parentId, 1u);
    EXPECT_EQ(part.NodeAt(8)->parentId, 1u);
    EXPECT_EQ(part.NodeAt(6)->parentId, 2u);
    EXPECT_EQ(part.NodeAt(2)->parentId, 0u);  // the root stays where it is
    EXPECT_EQ(part.NodeAt(1)->children, (std::vector<uint32_t>{4, 5, 8}));
}

TEST(NodeStore, TimeRangeCountsDeletedFilesOnlyOnSearchedPartitions) {
    NtfsPartInfo part;
    RFileNode live = Node(3, NodeKind::File);
    live.firstTime = 1000;
    live.secondTime = 5000;
    RFileNode deleted = Node(4, NodeKind::DeletedFile);
    deleted.firstTime = 10;
    deleted.secondTime = 9000;
    RFileNode dir = Node(5, NodeKind::Directory);
    dir.firstTime = 1;
    part.StoreNode(std::move(live));
    part.StoreNode(std::move(deleted));
    part.StoreNode(std::move(dir));
    part.listedBySystemToo = 1;
    part.ComputeTimeRange();
    EXPECT_EQ(part.earliestTime, 1000u);
    EXPECT_EQ(part.latestTime, 5000u);
    part.listedBySystemToo = 0;
    part.earliestTime = part.latestTime = 0;
    part.ComputeTimeRange();
    EXPECT_EQ(part.earliestTime, 10u);
    EXPECT_EQ(part.latestTime, 9000u);
}

TEST(NodeStore, StartIndexIsSortedWithoutDirectoriesOrDuplicates) {
    ExtFindPartInfo part;
    auto add = [&](uint32_t id, NodeKind kind, uint64_t sector) {
        RFileNode node = Node(id, kind);
        node.firstSector = sector;
        part.StoreNode(std::move(node));
    };
    add(3, NodeKind::File, 500);
    add(4, NodeKind::DeletedFile, 100);
    add(5, NodeKind::Directory, 50);
    add(6, NodeKind::File, 0);
    add(7, NodeKind::File, 100);
    part.BuildStartIndex();
    ASSERT_EQ(part.startIndex.size(), 3u);
    EXPECT_EQ(part.startIndex[0], (StartIndexEntry{100, 4}));
    EXPECT_EQ(part.startIndex[1], (StartIndexEntry{100, 7}));
    EXPECT_EQ(part.startIndex[2], (StartIndexEntry{500, 3}));
}

// Files scattered over a large disk, sharing start sectors, with types that differ at a shared
// sector: both indexes come out in full (sector, id) and (sector, type) order.
TEST(NodeStore, StartIndexesOfScatteredFilesAreInFullOrder) {
    ExtFindPartInfo part;
    std::vector<StartIndexEntry> index;
    std::vector<PartInfo::StartType> types;
    uint64_t state = 88172645463325252ull;
    auto next = [&] { return state ^= state << 13, state ^= state >> 7, state ^= state << 17; };
    const NodeKind kinds[] = {NodeKind::File, NodeKind::DeletedFile, NodeKind::Directory, NodeKind::DeletedDirectory};
    for (uint32_t id = 1; id <= 20000; ++id) {
        RFileNode node = Node(id, kinds[next() % 4]);
        // Some sectors taken twice or more, some near the top of 64 bits.
        uint64_t r = next();
        node.firstSector = r % 7 == 0 ? 1000 + r % 50 : r % 11 == 0 ? ~uint64_t{0} - r % 5 : r % (uint64_t{1} << 40);
        node.typeId = static_cast<uint32_t>(next() % 6);
        if (!node.IsDirectoryKind() && node.firstSector != 0) {
            index.push_back({node.firstSector, id});
            types.push_back({node.firstSector, node.typeId});
        }
        part.StoreNode(std::move(node));
    }
    part.BuildStartIndex();
    std::sort(index.begin(), index.end());
    std::sort(types.begin(), types.end());
    EXPECT_EQ(part.startIndex, index);
    auto built = part.startTypes.Load();
    ASSERT_TRUE(built);
    ASSERT_EQ(built->size(), types.size());
    for (size_t i = 0; i < types.size(); ++i) {
        ASSERT_EQ((*built)[i].sector, types[i].sector) << i;
        ASSERT_EQ((*built)[i].typeId, types[i].typeId) << i;
    }
}

class ReadFileDataTest : public ::testing::Test {
protected:
    void SetUp() override {
        image_ = temp_ / "data.img";
        test::WriteNumberedImage(image_, 256);
        ASSERT_TRUE(reader_.OpenPath(image_.wstring()));
    }
    // What a file made of `runs` holds at byte `at`.
    static uint8_t Expected(const std::vector<DataRun>& runs, uint64_t at) {
        uint64_t pos = 0;
        for (const auto& run : runs) {
            if (at < pos + run.sectorCount * 512) {
                if (run.startSector == kSparseSector) return 0;
                uint64_t sector = run.startSector + (at - pos) / 512;
                return test::NumberedSector(sector)[(at - pos) % 512];
            }
            pos += run.sectorCount * 512;
        }
        return 0;
    }
    test::TempDir temp_;
    std::filesystem::path image_;
    DiskReader reader_;
};

TEST_F(ReadFileDataTest, AcrossRunsWithASparseMiddleAndUnalignedOffsets) {
    ExtFindPartInfo part;
    RFileNode node = Node(3, NodeKind::File);
    node.runs = {{10, 3}, {kSparseSector, 2}, {100, 4}};
    node.size = 8 * 512 + 100;  // ends inside the last run
    std::vector<uint8_t> buffer(9 * 512);
    struct Case {
        uint64_t offset;
        uint32_t length;
    } cases[] = {{0, 9 * 512}, {1, 10}, {700, 2000}, {3 * 512 - 3, 6}, {5 * 512 + 511, 3},
                 {8 * 512 + 99, 50}, {8 * 512 + 100, 10}, {1 << 20, 10}};
    for (const auto& c : cases) {
        std::fill(buffer.begin(), buffer.end(), 0xEE);
        uint32_t got = part.ReadFileData(&reader_, &node, c.offset, buffer.data(), c.length);
        uint64_t want = c.offset >= node.size ? 0 : std::min<uint64_t>(c.length, node.size - c.offset);
        ASSERT_EQ(got, want) << c.offset;
        for (uint32_t i = 0; i < got; ++i)
            ASSERT_EQ(buffer[i], Expected(node.runs, c.offset + i)) << c.offset << "+" << i;
        if (got < buffer.size()) {
            EXPECT_EQ(buffer[got], 0xEE);  // nothing written past the end
        }
    }
}

TEST_F(ReadFileDataTest, RefusesMissingPiecesQuietly) {
    ExtFindPartInfo part;
    RFileNode node = Node(3, NodeKind::File);
    node.size = 100;
    uint8_t buffer[16];
    EXPECT_EQ(part.ReadFileData(&reader_, &node, 0, buffer, 16), 0u);  // no runs
    node.runs = {{5, 1}};
    EXPECT_EQ(part.ReadFileData(nullptr, &node, 0, buffer, 16), 0u);
    EXPECT_EQ(part.ReadFileData(&reader_, nullptr, 0, buffer, 16), 0u);
    EXPECT_EQ(part.ReadFileData(&reader_, &node, 0, nullptr, 16), 0u);
    EXPECT_EQ(part.ReadFileData(&reader_, &node, 0, buffer, 0), 0u);
    // Runs shorter than the size: the bytes the runs cover, no more.
    node.size = 4000;
    std::vector<uint8_t> big(4000);
    EXPECT_EQ(part.ReadFileData(&reader_, &node, 0, big.data(), 4000), 512u);
    // Sectors past the device read as zeros but still count.
    node.runs = {{250, 10}};
    EXPECT_EQ(part.ReadFileData(&reader_, &node, 0, big.data(), 4000), 4000u);
    EXPECT_EQ(big[6 * 512], 0);
}

TEST(NtfsPartInfo, MetadataSectorsAreNotFree) {
    NtfsPartInfo part;
    part.mftRuns = {{1000, 64}, {5000, 32}};
    part.mirrorSector = 200;
    part.Claim(77);
    EXPECT_FALSE(part.IsSectorFree(1000));
    EXPECT_FALSE(part.IsSectorFree(1063));
    EXPECT_TRUE(part.IsSectorFree(1064));
    EXPECT_FALSE(part.IsSectorFree(5031));
    EXPECT_FALSE(part.IsSectorFree(263));  // mirror spans the first run's length
    EXPECT_TRUE(part.IsSectorFree(264));
    EXPECT_FALSE(part.IsSectorFree(77));
    EXPECT_TRUE(part.IsSectorFree(78));
    FatPartInfo fat;
    fat.Claim(9);
    EXPECT_FALSE(fat.IsSectorFree(9));
    EXPECT_TRUE(ExtFindPartInfo().IsSectorFree(9));
}

TEST(NodeStoreConcurrency, ReadersSeeConsistentNodesWhileAWriterAppendsAndRelinks) {
    ExtFindPartInfo part;
    part.StoreNode(Node(1, NodeKind::Directory, 0, L"root"));
    constexpr uint32_t kNodes = 60000;  // crosses three segment boundaries
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (uint32_t id = 2; id < kNodes; ++id) {
            RFileNode node = Node(id, NodeKind::File, 1, L"file with a name long enough");
            node.size = id;
            part.AddFileNode(std::move(node));
            if (id % 97 == 0) {  // change a stored node in place, as the post-scan passes do
                auto lock = part.WriteLock();
                RFileNode* earlier = part.NodeAt(id / 2);
                earlier->name = L"renamed " + std::to_wstring(id);
                earlier->parentId = 1;
            }
        }
        done = true;
    });
    auto reader = [&] {
        uint64_t checks = 0;
        while (!done || checks == 0) {
            // A file is counted after it is stored: read the count first.
            uint32_t files = part.FileCount();
            uint32_t limit = part.NextNodeId();
            auto lock = part.ReadLock();
            uint32_t seen = 0;
            for (uint32_t id = 2; id < limit; ++id) {
                const RFileNode* node = part.LiveNodeAt(id);
                ASSERT_NE(node, nullptr) << id;
                ASSERT_EQ(node->size, id);
                ASSERT_FALSE(node->name.empty());
                ++seen;
            }
            ASSERT_GE(seen + 1, files > 0 ? files : 1);
            ++checks;
        }
    };
    std::thread r1(reader), r2(reader);
    writer.join();
    r1.join();
    r2.join();
    EXPECT_EQ(part.FileCount(), kNodes - 2);
    EXPECT_EQ(part.LiveNodeCount(), kNodes - 1);
}

TEST(NodeStoreConcurrency, FaultingInAheadOnAnotherThreadLeavesEveryNodeAsStored) {
    ExtFindPartInfo part;
    constexpr uint32_t kNodes = 160000;  // into the fourth and fifth segments
    std::atomic<uint32_t> stored{0};
    std::thread ahead([&] {
        // Ahead of the writer, over slots it is filling, and behind it.
        for (uint32_t from = 0; from < kNodes; from += 5000) {
            part.PrefaultNodes(from, from + 7000);
            uint32_t behind = stored.load();
            part.PrefaultNodes(behind > 3000 ? behind - 3000 : 0, behind + 10);
        }
    });
    for (uint32_t id = 1; id < kNodes; ++id) {
        RFileNode node = Node(id, NodeKind::File, 1);
        node.name = L"node " + std::to_wstring(id);
        node.size = id * 3;
        part.AddFileNode(std::move(node));
        stored.store(id);
    }
    ahead.join();
    for (uint32_t id = 1; id < kNodes; ++id) {
        const RFileNode* node = part.LiveNodeAt(id);
        ASSERT_NE(node, nullptr) << id;
        ASSERT_EQ(node->size, id * 3ull);
        ASSERT_EQ(node->name, L"node " + std::to_wstring(id));
    }
    EXPECT_EQ(part.NodeAt(kNodes), nullptr);
    EXPECT_EQ(part.LiveNodeCount(), kNodes - 1);
}
