// NTFS decoders: run lists, fix-ups and file records, golden and corrupted one field at a time.
#include <gtest/gtest.h>

#include <fstream>

#include "disk/DiskReader.h"
#include "fs/ntfs/NtfsRecord.h"
#include "fs/ntfs/HandMadeNtfs.h"
#include "fs/ntfs/RecordBuilder.h"
#include "fs/ntfs/ScanNtfs.h"
#include "support/TempDir.h"

using namespace ravlin;
using namespace ravlin::test;

namespace {
constexpr uint64_t kFt2019 = (1546300800ULL + 11644473600ULL) * 10000000ULL;
std::vector<DataRun> Runs(std::vector<uint8_t> bytes, uint64_t volume = 0, uint32_t spc = 8) {
    std::vector<DataRun> runs;
    DecodeRunList(bytes, volume, spc, runs);
    return runs;
}
}  // namespace

TEST(NtfsRunList, DecodesRelativeSignedSparseAndStopsAtBadHeaders) {
    auto runs = Runs(EncodeRuns({{100, 4}, {50, 2}, {-1, 3}, {300, 1}}), 2048, 8);
    ASSERT_EQ(runs.size(), 4u);
    EXPECT_EQ(runs[0].startSector, 2048u + 800);
    EXPECT_EQ(runs[0].sectorCount, 32u);
    EXPECT_EQ(runs[1].startSector, 2048u + 400);  // a negative step
    EXPECT_EQ(runs[2].startSector, kSparseSector);
    EXPECT_EQ(runs[2].sectorCount, 24u);
    EXPECT_EQ(runs[3].startSector, 2048u + 2400);
    // A header declaring a 9-byte length ends the list.
    EXPECT_EQ(Runs({0x11, 4, 10, 0x19, 1, 2, 3, 4, 5, 6, 7, 8, 9, 1, 0}).size(), 1u);
    // An offset field of 9 bytes ends it too, and so do fields running past the input.
    EXPECT_TRUE(Runs({0x91, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0}).empty());
    EXPECT_TRUE(Runs({0x31, 4, 10}).empty());
    EXPECT_TRUE(Runs({0x00, 0x11, 4, 10}).empty());
    // A run before cluster 0 is dropped but its offset still counts for the next one.
    auto negative = Runs({0x11, 4, 0xF0, 0x11, 2, 0x20, 0}, 0, 1);
    ASSERT_EQ(negative.size(), 1u);
    EXPECT_EQ(negative[0].startSector, 0x10u);
    // Absurd lengths do not wrap around the sector space.
    EXPECT_TRUE(Runs({0x18, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0}).empty());
}

TEST(NtfsFixups, RestoreMatchingTailsAndLeaveMismatchesAlone) {
    auto r = RecordBuilder(9).FileName(5, L"a.txt").Build();
    EXPECT_EQ(LoadLE16(r, 510), 7u);
    ApplyFixups(r);
    EXPECT_EQ(LoadLE16(r, 510), 0u);
    auto mismatch = RecordBuilder(9).FileName(5, L"a.txt").Build();
    mismatch[510] = 0x55;
    ApplyFixups(mismatch);
    EXPECT_EQ(mismatch[510], 0x55);
    auto bogus = RecordBuilder(9).Build();
    StoreLE16(&bogus[6], 600);  // the array would run past the record
    ApplyFixups(bogus);
    EXPECT_EQ(LoadLE16(bogus, 510), 7u);
}

namespace {

std::vector<uint8_t> Golden() {
    return RecordBuilder(1234)
        .StandardInformation(kFt2019, kFt2019 + 10000000ULL * 60, 0x23)
        .FileName(77, L"REPORT~1.PDF", 2, 999)
        .FileName(77, L"Quarterly report.pdf", 1, 999)
        .NonResident(0x80, EncodeRuns({{-1, 1}, {40, 3}}), 10000)
        .Build();
}

}  // namespace

TEST(NtfsFileRecord, AGoldenRecordDecodesWhole) {
    NtfsRecord rec;
    ASSERT_TRUE(DecodeFileRecord(Golden(), 0, 8, rec));
    EXPECT_EQ(rec.recordNumber, 1234u);
    EXPECT_EQ(rec.parentRecord, 77u);
    EXPECT_EQ(rec.recordFlags, 1u);
    EXPECT_EQ(rec.name, L"Quarterly report.pdf");  // Win32 replaces the DOS name
    EXPECT_EQ(rec.size, 10000u);
    ASSERT_EQ(rec.dataRuns.size(), 2u);
    EXPECT_EQ(rec.firstDataSector, 320u);  // the first run that is not sparse
    EXPECT_EQ(rec.fileAttributes, 0x23u);
    RFileNode node;
    RecordToNode(rec, node, false, false);
    EXPECT_EQ(node.kind, NodeKind::File);
    EXPECT_EQ(node.typeId, 40u);
    EXPECT_EQ(node.firstTime, 1546300800u);
    EXPECT_EQ(node.secondTime, 1546300860u);
    EXPECT_TRUE(node.readOnly && node.hidden && node.archive);
    EXPECT_FALSE(node.system);
    RecordToNode(rec, node, true, false);
    EXPECT_EQ(node.kind, NodeKind::DeletedFile);
}

TEST(NtfsFileRecord, CorruptionsOneFieldAtATime) {
    struct Case {
        const char* what;
        size_t offset;
        std::vector<uint8_t> bytes;
        bool decodes;
    } cases[] = {
        {"magic", 0, {'B', 'A', 'A', 'D'}, false},
        {"record number at the limit", 44, {0x00, 0x09, 0x3D, 0x00}, false},  // 4,000,000
        {"first attribute at 0", 20, {0, 0}, false},
        {"first attribute past 511", 20, {0x00, 0x02}, false},
        {"first attribute length below 8", 60, {4, 0, 0, 0}, false},
        {"first attribute longer than the record", 60, {0x00, 0x10, 0, 0}, false},
        {"a fix-up mismatch", 510, {0x12, 0x34}, true},
        {"an extension record", 32, {1, 0, 0, 0, 0, 0, 0, 0}, false},
        {"not in use (deleted)", 22, {0, 0}, true},
    };
    for (const auto& c : cases) {
        auto r = Golden();
        std::copy(c.bytes.begin(), c.bytes.end(), r.begin() + static_cast<long>(c.offset));
        NtfsRecord rec;
        EXPECT_EQ(DecodeFileRecord(r, 0, 8, rec), c.decodes) << c.what;
    }
    NtfsRecord rec;
    EXPECT_FALSE(DecodeFileRecord(std::span<const uint8_t>(Golden().data(), 1000), 0, 8, rec));
    // The limit is the caller's: the MFT's extent where it is known.
    EXPECT_FALSE(DecodeFileRecord(Golden(), 0, 8, rec, 1234));
    EXPECT_TRUE(DecodeFileRecord(Golden(), 0, 8, rec, 1235));
}

TEST(NtfsFileRecord, NamesAndSizes) {
    NtfsRecord rec;
    // Only a DOS name: it is kept.
    ASSERT_TRUE(DecodeFileRecord(RecordBuilder(40).FileName(5, L"ABC~1.TXT", 2).Build(), 0, 8, rec));
    EXPECT_EQ(rec.name, L"ABC~1.TXT");
    // A name whose length byte overruns its value, and an empty name, fail.
    auto overrun = RecordBuilder(40).FileName(5, L"x.txt").Build();
    overrun[56 + 24 + 64] = 200;
    EXPECT_FALSE(DecodeFileRecord(overrun, 0, 8, rec));
    EXPECT_FALSE(DecodeFileRecord(RecordBuilder(40).FileName(5, L"").Build(), 0, 8, rec));
    // No data attribute: the size comes from the file name; a directory's flags.
    ASSERT_TRUE(DecodeFileRecord(RecordBuilder(41, 3).FileName(5, L"dir", 1, 4096).Build(), 0, 8, rec));
    EXPECT_EQ(rec.size, 4096u);
    EXPECT_EQ(rec.recordFlags, 3u);
    RFileNode node;
    RecordToNode(rec, node, false, false);
    EXPECT_EQ(node.kind, NodeKind::Directory);
    EXPECT_EQ(node.directoryFlag, 1);
    EXPECT_EQ(node.typeId, 0u);
    // Resident content, kept in the node only when asked.
    std::vector<uint8_t> content(700, 'r');
    ASSERT_TRUE(DecodeFileRecord(
        RecordBuilder(42).FileName(5, L"r.txt").ResidentData(content).Build(), 0, 8, rec));
    EXPECT_EQ(rec.resident, 1u);
    EXPECT_EQ(rec.size, 700u);
    RecordToNode(rec, node, false, false);
    EXPECT_TRUE(node.residentData.empty());
    RecordToNode(rec, node, false, true);
    EXPECT_EQ(node.residentData, content);
    // Emoji names survive the UTF-16 round trip.
    ASSERT_TRUE(DecodeFileRecord(RecordBuilder(43).FileName(5, L"\U0001F600.txt").Build(), 0, 8, rec));
    EXPECT_EQ(rec.name, L"\U0001F600.txt");
}

TEST(NtfsFileRecord, ATimeOfZeroStaysZero) {
    NtfsRecord rec;
    ASSERT_TRUE(DecodeFileRecord(
        RecordBuilder(44).StandardInformation(0, 100, 0).FileName(5, L"t").Build(), 0, 8, rec));
    RFileNode node;
    RecordToNode(rec, node, false, false);
    EXPECT_EQ(node.firstTime, 0u);
    EXPECT_EQ(node.secondTime, 0u);
}

namespace {

size_t ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * 4096;
}

// An NTFS volume whose MFT has a sparse hole of 4,000,000 records: the records after it carry
// numbers above 4,000,000, as on a very large volume.
class LargeMft : public ::testing::Test {
protected:
    static constexpr uint32_t kHole = 4000000;
    void SetUp() override {
        image_ = temp_ / "large-mft.img";
        // Runs: 16 records at cluster 4, a hole of kHole records, 16 records at cluster 100.
        auto disk = HandMadeNtfs(4000, EncodeRuns({{4, 4}, {-1, kHole / 4}, {100, 4}}));
        for (uint32_t i = 0; i < 15; ++i) {
            uint32_t number = 16 + kHole + i;
            Put(disk, 100 * 8 + 2 * i,
                RecordBuilder(number).FileName(5, L"big-" + std::to_wstring(number) + L".txt").Build());
        }
        // A record claiming a number beyond the MFT's extent.
        Put(disk, 100 * 8 + 30, RecordBuilder(90000000).FileName(5, L"corrupt.txt").Build());
        WriteImage(image_, disk);
    }
    TempDir temp_;
    std::filesystem::path image_;
};

}  // namespace

TEST_F(LargeMft, RecordsNumberedAboveFourMillionKeepTheirFiles) {
    DiskReader reader;
    ASSERT_TRUE(reader.OpenPath(image_.wstring()));
    auto part = MakeNtfsPartition(reader, 0, nullptr);
    ASSERT_TRUE(part);
    ASSERT_TRUE(ScanNtfs(*part, reader, nullptr, false, false));
    for (uint32_t i = 0; i < 15; ++i) {
        uint32_t number = 16 + kHole + i;
        const RFileNode* node = part->LiveNodeAt(number);
        ASSERT_NE(node, nullptr) << number;
        EXPECT_EQ(node->name, L"big-" + std::to_wstring(number) + L".txt");
        EXPECT_EQ(node->parentId, 5u);
    }
    // A number past the MFT's own extent cannot allocate anything.
    EXPECT_EQ(part->NodeAt(90000000), nullptr);
    EXPECT_EQ(part->FileCount(), 15u);
    // Records are found again by number across the hole.
    NtfsRecord rec;
    EXPECT_TRUE(ReadNtfsRecordOfPart(*part, reader, 16 + kHole + 3, rec));
    EXPECT_FALSE(ReadNtfsRecordOfPart(*part, reader, 100, rec));  // inside the hole
}

TEST(NtfsWalk, AnMftRunOfGarbageCommitsNoNodeMemory) {
    // Sixteen records, then a run the list claims holds 400,000 more: all zeros (a sparse file).
    TempDir temp;
    auto image = temp / "vast-mft.img";
    auto disk = HandMadeNtfs(900000, EncodeRuns({{4, 4}, {1000, 100000}}));
    for (uint32_t i = 6; i < 16; ++i)
        Put(disk, 4 * 8 + 2 * i, RecordBuilder(i).FileName(5, L"f" + std::to_wstring(i)).Build());
    WriteImage(image, disk);
    std::filesystem::resize_file(image, uint64_t{101000} * 4096);

    DiskReader reader;
    ASSERT_TRUE(reader.OpenPath(image.wstring()));
    size_t before = ResidentBytes();
    auto part = MakeNtfsPartition(reader, 0, nullptr);
    ASSERT_TRUE(part);
    ASSERT_TRUE(ScanNtfs(*part, reader, nullptr, false, false));
    size_t after = ResidentBytes();
    size_t grown = after > before ? after - before : 0;
    EXPECT_EQ(part->FileCount(), 10u);
    EXPECT_NE(part->LiveNodeAt(15), nullptr);
    // 400,000 slots would take 80 MB.
    EXPECT_LT(grown, size_t{32} << 20);
}
