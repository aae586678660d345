// NTFS volumes damaged in the ways that once crashed or hung a scan: run lengths that wrap byte
// counts, records numbered at the end of the store's reach, MFT runs far past the device,
// absurd record sizes, and directories that name each other as parent.
#include <gtest/gtest.h>

#include "disk/DiskReader.h"
#include "fs/FileNode.h"
#include "fs/FreeSpaceMap.h"
#include "fs/RecycleNames.h"
#include "fs/ntfs/HandMadeNtfs.h"
#include "fs/ntfs/NtfsRecord.h"
#include "fs/ntfs/ScanNtfs.h"
#include "platform/DeviceTable.h"
#include "platform/FaultInjection.h"
#include "support/TempDir.h"

using namespace ravlin;
using namespace ravlin::test;

namespace {

constexpr int64_t kSparse = -1;
constexpr uint64_t kWrapping = (uint64_t{1} << 52) - 1;  // clusters: x 8 x 512 bytes wraps 2^64

// A hand-made volume written to a file and opened.
struct Volume {
    TempDir temp;
    std::filesystem::path image = temp / "ntfs.img";
    DiskReader reader;
    std::shared_ptr<NtfsPartInfo> part;

    explicit Volume(const std::vector<uint8_t>& disk, uint64_t fileBytes = 0) {
        WriteImage(image, disk);
        if (fileBytes > disk.size()) std::filesystem::resize_file(image, fileBytes);
        EXPECT_TRUE(reader.OpenPath(image.wstring()));
        part = MakeNtfsPartition(reader, 0, nullptr);
        EXPECT_TRUE(part);
    }
    bool Scan(const ParseProgressCallback& progress = nullptr) {
        return part && ScanNtfs(*part, reader, progress, false, false);
    }
};

// Record `number` of the hand-made MFT (16 records at cluster 4).
void PutRecord(std::vector<uint8_t>& disk, uint32_t slot, const std::vector<uint8_t>& record) {
    Put(disk, 4 * 8 + 2 * uint64_t{slot}, record);
}

std::vector<uint8_t> Filled(size_t bytes, uint8_t value) { return std::vector<uint8_t>(bytes, value); }

}  // namespace

TEST(NtfsRunArithmetic, ARunTooLongForAnyVolumeEndsTheList) {
    std::vector<DataRun> runs;
    ASSERT_TRUE(DecodeRunList(EncodeRuns({{100, 2}, {kSparse, kWrapping}, {200, 1}}), 0, 8, runs));
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].sectorCount, 16u);
    ASSERT_TRUE(DecodeRunList(EncodeRuns({{100, 2}, {300, kWrapping}}), 0, 8, runs));
    EXPECT_EQ(runs.size(), 1u);
    // The longest run kept: 2^48 sectors.
    ASSERT_TRUE(DecodeRunList(EncodeRuns({{kSparse, kMaxRunSectors / 8}}), 0, 8, runs));
    EXPECT_EQ(runs[0].sectorCount, kMaxRunSectors);
}

// Content reads whose run byte counts would wrap: the pieces stay inside the caller's buffer
// and the rest reads as the zeros of the sparse run.
TEST(NtfsRunArithmetic, ReadingPastARunWhoseLengthWrapsStaysInTheBuffer) {
    auto disk = HandMadeNtfs(4000, EncodeRuns({{4, 4}}));
    std::fill(disk.begin() + 100 * 4096, disk.begin() + 102 * 4096, 0xAB);
    Volume v(disk);
    RFileNode node;
    node.id = 30;
    node.kind = NodeKind::File;
    node.size = 1 << 20;
    node.runs = {{800, 16}, {kSparseSector, (uint64_t{1} << 55) - 8}, {900, 8}};
    std::vector<uint8_t> buffer(65536 + 64, 0x11);
    uint32_t got = v.part->ReadFileData(&v.reader, &node, 0, buffer.data(), 65536);
    ASSERT_EQ(got, 65536u);
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 8192), Filled(8192, 0xAB));
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin() + 8192, buffer.begin() + 65536), Filled(65536 - 8192, 0));
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin() + 65536, buffer.end()), Filled(64, 0x11));
    // A run whose sectors would wrap the sector space reads as zeros, never as sector 0.
    node.runs = {{~uint64_t{0} - 4, 16}};
    std::fill(buffer.begin(), buffer.end(), 0x11);
    EXPECT_EQ(v.part->ReadFileData(&v.reader, &node, 0, buffer.data(), 4096), 4096u);
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 4096), Filled(4096, 0));
}

// The same wrap reached from disk: a file behind an attribute list, a recycle-bin info item,
// and the volume bitmap of the free-space scans.
TEST(NtfsRunArithmetic, WrappingRunsInRecordsAreCutWhereverTheyAreRead) {
    auto pairs = EncodeRuns({{100, 2}, {kSparse, kWrapping}});
    auto disk = HandMadeNtfs(1 << 20, EncodeRuns({{4, 4}}));
    std::fill(disk.begin() + 100 * 4096, disk.begin() + 102 * 4096, 0xCD);
    // Record 6, $Bitmap: 16 KiB stated, two clusters really there.
    PutRecord(disk, 6, RecordBuilder(6).FileName(5, L"$Bitmap").NonResident(0x80, pairs, 16384).Build());
    // Record 12 names its data only through its attribute list; the data is in record 13.
    std::vector<uint8_t> list(32, 0);
    StoreLE32(&list[0], 0x80);
    StoreLE16(&list[4], 32);
    StoreLE64(&list[16], 13);
    PutRecord(disk, 12, RecordBuilder(12).StandardInformation(0, 0, 0).FileName(5, L"listed.bin")
                            .Resident(0x20, list).Build());
    PutRecord(disk, 13, RecordBuilder(13).NonResident(0x80, pairs, 1 << 20).Base(12).Build());
    // A recycle bin whose info item claims 10,000 bytes over the same runs.
    PutRecord(disk, 14, RecordBuilder(14, 3).FileName(5, L"$RECYCLE.BIN").Build());
    PutRecord(disk, 15, RecordBuilder(15).FileName(14, L"$IAB12CD.txt").NonResident(0x80, pairs, 10000).Build());
    PutRecord(disk, 11, RecordBuilder(11).FileName(14, L"$RAB12CD.txt").ResidentData({'x'}).Build());
    Volume v(disk, uint64_t{1} << 20 << 9);
    ASSERT_TRUE(v.Scan());
    const RFileNode* listed = v.part->LiveNodeAt(12);
    ASSERT_NE(listed, nullptr);
    ASSERT_EQ(listed->runs.size(), 1u);  // the list ended before the wrapping run
    std::vector<uint8_t> buffer(65536, 0x11);
    EXPECT_EQ(v.part->ReadFileData(&v.reader, listed, 0, buffer.data(), 65536), 8192u);
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 8192), Filled(8192, 0xCD));
    FreeSpaceMap map;
    ASSERT_TRUE(LoadNtfsFreeSpace(v.reader, 0, map));
    EXPECT_EQ(map.bitmap.size(), (uint64_t{1} << 20) / 8 / 8);
    EXPECT_EQ(map.bitmap[0], 0xCD);
    EXPECT_EQ(map.bitmap[8192], 0);
}

// A record numbered just below the last id a node store can hold leaves no id above it for the
// folder of lost paths: the first free one below serves, and orphans still land in it.
TEST(NtfsTree, ARecordAtTheEndOfTheStoresReachLeavesOrphansAFolder) {
    uint64_t holeClusters = kSegmentedIdLimit / 4;
    auto disk = HandMadeNtfs(4000, EncodeRuns({{4, 4}, {kSparse, holeClusters}}));
    PutRecord(disk, 12, RecordBuilder(kSegmentedIdLimit - 1).FileName(5, L"last.txt").Build());
    PutRecord(disk, 13, RecordBuilder(13).FileName(7777, L"orphan.txt").Build());
    Volume v(disk);
    ASSERT_TRUE(v.Scan());
    EXPECT_EQ(v.part->NextNodeId(), kSegmentedIdLimit);
    ASSERT_NE(v.part->LiveNodeAt(kSegmentedIdLimit - 1), nullptr);
    const RFileNode* orphan = v.part->LiveNodeAt(13);
    ASSERT_NE(orphan, nullptr);
    const RFileNode* folder = v.part->LiveNodeAt(orphan->parentId);
    ASSERT_NE(folder, nullptr);
    EXPECT_EQ(orphan->parentId, v.part->orphanFolderId.load());
    EXPECT_EQ(folder->name, kLostPathFolderName);
    EXPECT_EQ(folder->parentId, 5u);
}

// Two deleted directories whose records name each other: their files reach the root through
// the folder of lost paths.
TEST(NtfsTree, DirectoriesNamingEachOtherAsParentAreCutLoose) {
    auto disk = HandMadeNtfs(4000, EncodeRuns({{4, 4}}));
    PutRecord(disk, 11, RecordBuilder(11, 2).FileName(12, L"first").Build());
    PutRecord(disk, 12, RecordBuilder(12, 2).FileName(11, L"second").Build());
    PutRecord(disk, 13, RecordBuilder(13, 0).FileName(11, L"in-first.txt").Build());
    PutRecord(disk, 14, RecordBuilder(14, 0).FileName(12, L"in-second.txt").Build());
    PutRecord(disk, 15, RecordBuilder(15, 2).FileName(15, L"self").Build());
    Volume v(disk);
    ASSERT_TRUE(v.Scan());
    for (uint32_t id : {11u, 12u, 13u, 14u, 15u}) {
        uint32_t at = id;
        int steps = 0;
        while (at != v.part->rootNodeId && steps < 10) {
            const RFileNode* node = v.part->LiveNodeAt(at);
            ASSERT_NE(node, nullptr) << id;
            // Each node is in its parent's list of children.
            const RFileNode* parent = v.part->NodeAt(node->parentId);
            ASSERT_NE(parent, nullptr) << id;
            EXPECT_NE(std::find(parent->children.begin(), parent->children.end(), at), parent->children.end())
                << id;
            at = node->parentId;
            ++steps;
        }
        EXPECT_EQ(at, v.part->rootNodeId) << "record " << id << " never reaches the root";
    }
    // One of the two is cut loose, the other stays under it.
    const RFileNode* first = v.part->LiveNodeAt(11);
    const RFileNode* second = v.part->LiveNodeAt(12);
    EXPECT_TRUE((first->parentId == v.part->orphanFolderId && second->parentId == 11) ||
                (second->parentId == v.part->orphanFolderId && first->parentId == 12));
}

// A run list that claims an MFT of 2^36 clusters on a 2 MiB volume: only what the device holds
// is read, and nothing is planned ahead for the rest.
TEST(NtfsWalk, AnMftRunPastTheDeviceReadsOnlyTheDevice) {
    auto disk = HandMadeNtfs(4000, EncodeRuns({{4, uint64_t{1} << 36}}));
    PutRecord(disk, 12, RecordBuilder(12).FileName(5, L"kept.txt").Build());
    TempDir temp;
    WriteImage(temp / "vast.img", disk);
    int err = 0;
    auto faulty = std::make_shared<platform::FaultInjectingBackend>(
        platform::OpenFileBackend((temp / "vast.img").string(), err));
    const std::wstring device = L"\\\\.\\PhysicalDrive59";
    platform::RegisterDeviceFactory(device, [faulty] { return faulty; });
    DiskReader reader;
    DiskSourceInfo src;
    src.devicePath = device;
    ASSERT_TRUE(reader.Open(src, 0, disk.size() / 512));
    auto part = MakeNtfsPartition(reader, 0, nullptr);
    ASSERT_TRUE(part);
    faulty->ClearReads();
    EXPECT_TRUE(ScanNtfs(*part, reader, nullptr, false, false));
    platform::UnregisterDevice(device);
    EXPECT_NE(part->LiveNodeAt(12), nullptr);
    uint64_t bytes = 0;
    for (auto [offset, length] : faulty->Reads()) bytes += length;
    EXPECT_LE(bytes, 2 * disk.size());
}

// A stop is honoured on every piece of the MFT, even when none of its records decode.
TEST(NtfsWalk, AStopEndsAWalkOverGarbageAtOnce) {
    auto disk = HandMadeNtfs(900000, EncodeRuns({{1000, 100000}}));
    TempDir temp;
    auto image = temp / "garbage.img";
    WriteImage(image, disk);
    std::filesystem::resize_file(image, uint64_t{101000} * 4096);
    int err = 0;
    auto faulty = std::make_shared<platform::FaultInjectingBackend>(platform::OpenFileBackend(image.string(), err));
    const std::wstring device = L"\\\\.\\PhysicalDrive59";
    platform::RegisterDeviceFactory(device, [faulty] { return faulty; });
    DiskReader reader;
    DiskSourceInfo src;
    src.devicePath = device;
    ASSERT_TRUE(reader.Open(src, 0, uint64_t{101000} * 8));
    auto part = MakeNtfsPartition(reader, 0, nullptr);
    ASSERT_TRUE(part);
    faulty->ClearReads();
    uint64_t calls = 0;
    EXPECT_FALSE(ScanNtfs(*part, reader, [&](const ParseProgress&) { return ++calls > 3 ? 0 : 1; }, false, false));
    platform::UnregisterDevice(device);
    uint64_t bytes = 0;
    for (auto [offset, length] : faulty->Reads()) bytes += length;
    EXPECT_LE(bytes, uint64_t{16} << 20);  // the MFT claims 400 MB
}

TEST(NtfsBootParams, RecordSizesOutOfBoundsFallBackToTheUsualOnes) {
    auto disk = HandMadeNtfs(4000, EncodeRuns({{4, 4}}));
    std::vector<uint8_t> boot(disk.begin(), disk.begin() + 512);
    NtfsBootParams params;
    struct Case {
        uint8_t recordCode, indexCode;
        uint32_t record, index;
    } cases[] = {
        {0xF6, 0xF4, 1024, 4096},  // the usual codes
        {0xF4, 1, 4096, 4096},     // 4 KiB records; one 4 KiB cluster per index block
        {0xE2, 0xE2, 1024, 4096},  // 2^30: absurd
        {0x80, 0x81, 1024, 4096},  // 2^128, 2^127
        {0x7F, 0x40, 1024, 4096},  // 127 and 64 clusters of 4 KiB
        {0xFF, 0xFE, 1024, 4096},  // 2 and 4 bytes
    };
    for (const Case& c : cases) {
        boot[64] = c.recordCode;
        boot[68] = c.indexCode;
        ASSERT_TRUE(DecodeNtfsBootParams(boot, 0, params));
        EXPECT_EQ(params.fileRecordSize, c.record) << int(c.recordCode);
        EXPECT_EQ(params.indexRecordSize, c.index) << int(c.indexCode);
    }
    // A volume whose record-size byte is damaged still scans with 1 KiB records.
    disk[64] = 0xE2;
    PutRecord(disk, 12, RecordBuilder(12).FileName(5, L"still.txt").Build());
    Volume v(disk);
    ASSERT_TRUE(v.Scan());
    EXPECT_NE(v.part->LiveNodeAt(12), nullptr);
}

// A volume whose boot sector claims 2^62 sectors: the free-space map covers what the device
// holds, not four billion clusters.
TEST(NtfsBootParams, TheFreeSpaceMapCoversOnlyTheDevice) {
    auto disk = HandMadeNtfs(uint64_t{1} << 62, EncodeRuns({{4, 4}}));
    PutRecord(disk, 6, RecordBuilder(6).FileName(5, L"$Bitmap").NonResident(0x80, EncodeRuns({{100, 1}}), 4096).Build());
    Volume v(disk, uint64_t{64} << 20);
    FreeSpaceMap map;
    ASSERT_TRUE(LoadNtfsFreeSpace(v.reader, 0, map));
    EXPECT_EQ(map.clusterCount, (uint64_t{64} << 20) / 4096);
    EXPECT_EQ(map.bitmap.size(), map.clusterCount / 8);
}
