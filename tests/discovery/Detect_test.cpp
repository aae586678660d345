// Boot sectors, partition entries, device paths and partition names.
#include <gtest/gtest.h>

#include <fstream>

#include "common/Bytes.h"
#include "discovery/Enumerate.h"
#include "discovery/LostPartitions.h"
#include "discovery/PartitionDetect.h"
#include "disk/DiskReader.h"
#include "fs/FreeSpaceMap.h"
#include "fs/PartInfo.h"
#include "platform/DeviceTable.h"
#include "support/Fixtures.h"
#include "support/TempDir.h"

using namespace ravlin;

namespace {

std::vector<uint8_t> NtfsBoot(uint8_t recordCode) {
    std::vector<uint8_t> s(512, 0);
    s[0] = 0xEB;
    s[1] = 0x52;
    s[2] = 0x90;
    std::copy_n("NTFS    ", 8, s.begin() + 3);
    StoreLE16(&s[11], 512);
    s[13] = 8;
    s[21] = 0xF8;
    s[64] = recordCode;
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

std::vector<uint8_t> TableSector(uint8_t boot, uint8_t type, uint32_t first, uint32_t count) {
    std::vector<uint8_t> s(512, 0);
    s[446] = boot;
    s[446 + 4] = type;
    StoreLE32(&s[446 + 8], first);
    StoreLE32(&s[446 + 12], count);
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

std::vector<uint8_t> FileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), {});
}

void WriteBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

TEST(ClassifySector, BootSectorsAndTables) {
    EXPECT_EQ(ClassifySector(0, NtfsBoot(0xF6)), kSectorNtfsBoot);
    auto f4 = NtfsBoot(0xF4);
    EXPECT_EQ(ClassifySector(0, f4), kSectorNothing);  // the strict test wants 0xF6
    EXPECT_EQ(IdentifyFileSystem(f4), kFsNtfs);
    auto noSignature = NtfsBoot(0xF6);
    noSignature[511] = 0;
    EXPECT_EQ(ClassifySector(0, noSignature), kSectorNothing);
    EXPECT_EQ(ClassifySector(0, TableSector(0x80, 0x07, 2048, 102400)), kSectorMbr);
    EXPECT_EQ(ClassifySector(77, TableSector(0x00, 0x07, 2048, 102400)), kSectorEbr);
    EXPECT_EQ(ClassifySector(0, TableSector(0x00, 0x07, 2048, 102399)), kSectorNothing);
    EXPECT_EQ(ClassifySector(0, TableSector(0x81, 0x07, 2048, 102400)), kSectorNothing);
    EXPECT_EQ(ClassifySector(0, TableSector(0x00, 0xEE, 1, 102400)), kSectorMbr);
    EXPECT_EQ(ClassifySector(0, TableSector(0x00, 0x1D, 2048, 102400)), kSectorNothing);
    EXPECT_EQ(ClassifySector(0, TableSector(0x00, 0x07, 0, 102400)), kSectorNothing);
    std::vector<uint8_t> gpt(512, 0);
    std::copy_n("EFI PART", 8, gpt.begin());
    EXPECT_EQ(ClassifySector(1, gpt), kSectorGptHeader);
    EXPECT_EQ(ClassifySector(2, gpt), kSectorNothing);
}

TEST(ClassifySector, RealBootSectorsOfTheFixtures) {
    struct Case {
        const char* image;
        uint8_t expected;
        uint32_t type;
    } cases[] = {{"ntfs.img", kSectorNtfsBoot, kFsNtfs},
                 {"fat16.img", kSectorFat16Boot, kFsFat16},
                 {"fat32.img", kSectorFat32Boot, kFsFat32},
                 {"exfat.img", kSectorExfatBoot, kFsExfat},
                 {"mbr-disk.img", kSectorMbr, kFsNone}};
    for (const auto& c : cases) {
        DiskReader reader;
        ASSERT_TRUE(reader.OpenPath(test::FixtureImage(c.image).wstring()));
        uint8_t sector[512];
        ASSERT_TRUE(reader.ReadSectors(sector, 0, 1));
        EXPECT_EQ(ClassifySector(0, std::span<const uint8_t>(sector, 512)), c.expected) << c.image;
        EXPECT_EQ(DetectFsTypeAt(reader, 0), c.type) << c.image;
    }
}

TEST(DetectPartition, AnNtfsBackupIsUsedOnlyWhenTheLengthIsKnown) {
    test::TempDir temp;
    auto bytes = FileBytes(test::FixtureImage("ntfs.img"));
    std::fill(bytes.begin(), bytes.begin() + 512, 0);
    auto image = temp / "ntfs-boot-wiped.img";
    WriteBytes(image, bytes);
    DiskReader reader;
    ASSERT_TRUE(reader.OpenPath(image.wstring()));
    std::shared_ptr<PartInfo> part;
    EXPECT_FALSE(DetectPartitionAt(reader, 0, part, 0));
    EXPECT_FALSE(part);
    ASSERT_TRUE(DetectPartitionAt(reader, 0, part, bytes.size() / 512));
    EXPECT_EQ(part->fsType, kFsNtfs);
    EXPECT_EQ(part->volumeSector, 0u);
    EXPECT_TRUE(ScanPartition(*part, reader, nullptr, false, false));
    EXPECT_GT(part->FileCount(), 2000u);
    EXPECT_FALSE(ScanPartition(*std::make_shared<ExtFindPartInfo>(), reader, nullptr, false, false));
}

TEST(DevicePaths, NumbersLettersAndNames) {
    EXPECT_EQ(DiskNumberFromPath(L"\\\\.\\PhysicalDrive2"), 2);
    EXPECT_EQ(DiskNumberFromPath(L"\\\\.\\physicaldrive2"), 2);
    EXPECT_EQ(DiskNumberFromPath(L"\\\\.\\PhysicalDrive2a"), -1);
    EXPECT_EQ(DiskNumberFromPath(L"\\\\.\\PhysicalDrive"), -1);
    EXPECT_EQ(DiskNumberFromPath(L"/dev/sda"), -1);
    EXPECT_TRUE(IsPhysicalDrivePath(L"\\\\.\\PHYSICALDRIVE17"));
    EXPECT_EQ(VolumeLetterFromPath(L"\\\\.\\e:"), L'E');
    EXPECT_EQ(VolumeLetterFromPath(L"\\\\.\\E"), 0);
    EXPECT_EQ(VolumeLetterFromPath(L"C:\\"), 0);
    EXPECT_EQ(LocalDiskName(L'D'), L"\u672C\u5730\u78C1\u76D8(D:)");
    EXPECT_EQ(LocalDiskName(0), L"\u672C\u5730\u78C1\u76D8");
    PartitionList list;
    for (int i = 0; i < 2; ++i) {
        auto part = std::make_shared<ExtFindPartInfo>();
        part->displayName = NextDeletedPartitionName(list);
        list.push_back(part);
    }
    auto listed = std::make_shared<ExtFindPartInfo>();
    listed->displayName = LocalDiskName(0);
    list.push_back(listed);
    EXPECT_EQ(list[1]->displayName, std::wstring(kDeletedPartitionName) + L"2");
    EXPECT_EQ(NextDeletedPartitionName(list), std::wstring(kDeletedPartitionName) + L"3");
    EXPECT_TRUE(IsDeletedPartitionName(list[0]->displayName));
    EXPECT_FALSE(IsDeletedPartitionName(listed->displayName));
}

TEST(DevicePaths, DriveLettersComeFromRegisteredVolumeExtents) {
    test::TempDir temp;
    auto image = temp / "disk.img";
    test::WriteNumberedImage(image, 64);
    ASSERT_TRUE(platform::RegisterDevice(L"\\\\.\\PhysicalDrive44", image.wstring(), -1, 0));
    ASSERT_TRUE(platform::RegisterDevice(L"\\\\.\\K:", image.wstring(), 44, 2048 * 512));
    EXPECT_EQ(DriveLetterForPartition(L"\\\\.\\PhysicalDrive44", 2048), L'K');
    EXPECT_EQ(DriveLetterForPartition(image.wstring(), 2048), L'K');  // the file stands for drive 44
    EXPECT_EQ(DriveLetterForPartition(L"\\\\.\\PhysicalDrive44", 4096), 0);
    EXPECT_EQ(DriveLetterForPartition(L"\\\\.\\PhysicalDrive45", 2048), 0);
    EXPECT_EQ(DriveLetterForPartition(L"\\\\.\\m:", 0), L'M');
    platform::UnregisterDevice(L"\\\\.\\K:");
    platform::UnregisterDevice(L"\\\\.\\PhysicalDrive44");
}

TEST(FreeSpace, BlocksWithAnyFreeClusterAreKept) {
    FreeSpaceMap map;
    map.firstSector = 20000;  // clusters begin inside the second block
    map.sectorsPerCluster = 8;
    map.clusterCount = 8192;  // 65536 sectors: through the fifth block
    map.bitmap.assign(1024, 0xFF);
    // One free cluster in the third block (sectors 32768..49151).
    uint64_t free = (40000 - 20000) / 8;
    map.bitmap[free / 8] &= static_cast<uint8_t>(~(1u << (free % 8)));
    auto blocks = FreeSpaceBlocks(map, 0, 6 * 16384);
    EXPECT_EQ(blocks, (std::vector<uint64_t>{32768}));
    map.bitmap.assign(1024, 0);
    blocks = FreeSpaceBlocks(map, 0, 6 * 16384);
    // The first block lies wholly before the clusters; the sixth holds the last of them.
    EXPECT_EQ(blocks, (std::vector<uint64_t>{16384, 32768, 49152, 65536, 81920}));
    blocks = FreeSpaceBlocks(map, 0, 8 * 16384);
    EXPECT_EQ(blocks.size(), 5u);  // nothing past the last cluster
    map.bitmap.clear();
    EXPECT_TRUE(FreeSpaceBlocks(map, 0, 6 * 16384).empty());
}

TEST(LostPartitions, AdoptionHappensOnceAndResidualEntriesAreFollowed) {
    auto manifest_image = test::FixtureImage("mbr-disk.img");
    DiskReader reader;
    ASSERT_TRUE(reader.OpenPath(manifest_image.wstring()));
    ScanInput input;
    input.devicePath = manifest_image.wstring();
    ScanOutput output;
    FileSystemPass pass{input, output, reader, [] { return true; }, [] { return false; }};
    AdoptLostPartition(pass, 2048);
    AdoptLostPartition(pass, 2048);  // a second time changes nothing
    AdoptLostPartition(pass, 5);     // nothing there
    auto list = output.Partitions();
    ASSERT_EQ(list->size(), 1u);
    EXPECT_EQ((*list)[0]->displayName, std::wstring(kDeletedPartitionName) + L"1");
    EXPECT_EQ((*list)[0]->listedBySystem, 0u);
    EXPECT_GT(output.filesFound.load(), 0u);
    // Every node of a partition found by searching is of a deleted kind.
    (*list)[0]->ForEachNode([](uint32_t, const RFileNode& node) {
        if (node.IsLive()) {
            EXPECT_TRUE(node.kind == NodeKind::DeletedFile || node.kind == NodeKind::DeletedDirectory);
        }
    });
    // The first extended boot record names the FAT16 logical partition.
    uint8_t ebr[512];
    ASSERT_TRUE(reader.ReadSectors(ebr, 215040, 1));
    EXPECT_EQ(AdoptResidualLogicalPartitions(pass, 215040, std::span<const uint8_t>(ebr, 512)), 1u);
    EXPECT_EQ(AdoptResidualLogicalPartitions(pass, 215040, std::span<const uint8_t>(ebr, 512)), 0u);
    list = output.Partitions();
    ASSERT_EQ(list->size(), 2u);
    EXPECT_EQ((*list)[1]->fsType, kFsFat16);
    EXPECT_EQ((*list)[1]->startSector, 217088u);
    EXPECT_EQ((*list)[1]->displayName, std::wstring(kDeletedPartitionName) + L"2");
}
