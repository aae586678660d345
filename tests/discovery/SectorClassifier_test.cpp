// The sector classifier on real volumes: their structures found in raw data when nothing claims
// them, nothing reported twice on a healthy disk, and volumes whose table is gone adopted from
// their boot sectors with their files.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>

#include "discovery/Enumerate.h"
#include "discovery/LostPartitions.h"
#include "disk/DiskReader.h"
#include "discovery/SectorClassifier.h"
#include "engine/DiskRecoveryEngine.h"
#include "fs/PartInfo.h"
#include "support/Fixtures.h"
#include "support/FoundItems.h"
#include "support/Manifest.h"
#include "support/NodePaths.h"

using namespace ravlin;

namespace {

constexpr uint64_t kBlock = 16384;

// The found-sector items of a finished scan, by kind.
std::map<uint32_t, std::vector<ScanItem>> FoundByKind(const DiskRecoveryEngine& engine) {
    std::map<uint32_t, std::vector<ScanItem>> out;
    for (const ScanItem& item : test::FoundItems(engine)) out[uint32_t{item.typeId}].push_back(item);
    return out;
}

// The classifier alone over every block of an image, no partition published.
struct RawClassification {
    FoundSectorStore store;
    std::vector<ScanItem> items;
    std::vector<uint64_t> adopted;
};

std::unique_ptr<RawClassification> ClassifyImage(const std::filesystem::path& image) {
    auto out = std::make_unique<RawClassification>();
    std::ifstream in(image, std::ios::binary);
    std::vector<uint8_t> block(kBlock * 512);
    ScanOutput output;
    SectorClassifier classifier(out->store, [&](uint64_t s) { out->adopted.push_back(s); });
    classifier.Reset(nullptr);
    for (uint64_t first = 0;; first += kBlock) {
        std::fill(block.begin(), block.end(), 0);
        in.read(reinterpret_cast<char*>(block.data()), static_cast<std::streamsize>(block.size()));
        if (in.gcount() == 0) break;
        classifier.ClassifyBlock(first, block.data(), out->items, output);
        if (!in) break;
    }
    return out;
}

size_t CountKind(const std::vector<ScanItem>& items, uint32_t kind) {
    size_t n = 0;
    for (const ScanItem& item : items) n += item.typeId == kind;
    return n;
}

}  // namespace

// With no partition published, a volume's own structures are what the classifier reports: the
// NTFS volume's file records (each decoded, its number first) and its boot sector; the FAT32
// volume's table start with the table's length, found once for both copies, and its directory
// sectors; the exFAT volume's root (read as one run) and boot sector.
TEST(SectorClassifier, AVolumesStructuresAreFoundInRawData) {
    {
        auto ntfs = ClassifyImage(test::FixtureImage("ntfs.img"));
        ASSERT_GE(ntfs->adopted.size(), 1u);
        EXPECT_EQ(ntfs->adopted.front(), 0u);
        const size_t records = CountKind(ntfs->items, kFoundFileRecord);
        EXPECT_GE(records, 16u);  // the metadata files at least, and the mirror's copies
        EXPECT_EQ(ntfs->store.records.size(), records);
        std::set<uint32_t> numbers;
        for (const NtfsRecord& r : ntfs->store.records) numbers.insert(r.recordNumber);
        for (uint32_t n : {0u, 1u, 2u, 3u, 5u}) EXPECT_TRUE(numbers.count(n)) << n;
        EXPECT_GE(CountKind(ntfs->items, kFoundIndexBlock), 1u);
        EXPECT_FALSE(ntfs->store.names.empty());  // names harvested from the index blocks
    }
    {
        const auto image = test::FixtureImage("fat32.img");
        auto fat = ClassifyImage(image);
        std::vector<ScanItem> tables;
        for (const ScanItem& item : fat->items)
            if (item.typeId == kFoundFat32Table) tables.push_back(item);
        ASSERT_EQ(tables.size(), 1u);  // the second copy lies in the first one's range
        auto volume = test::ScanVolume(image);
        ASSERT_TRUE(volume);
        const auto& part = static_cast<const FatPartInfo&>(*volume->part);
        EXPECT_EQ(uint64_t{tables[0].size} % 512, 0u);
        EXPECT_EQ(uint64_t{tables[0].startSector} + uint64_t{tables[0].size} / 512 * 2 <= part.dataStart, true);
        EXPECT_GE(CountKind(fat->items, kFoundFatDirectory), 2u);
        EXPECT_EQ(CountKind(fat->items, kFoundFat32Boot), 2u);  // the boot sector and its backup
    }
    {
        auto exfat = ClassifyImage(test::FixtureImage("exfat.img"));
        bool root = false;
        for (const ScanItem& item : exfat->items) {
            if (item.typeId != kFoundExfatDirectory) continue;
            const auto* summary = reinterpret_cast<const ExfatDirectorySummary*>(uint64_t{item.creationInfo});
            ASSERT_NE(summary, nullptr);
            root = root || summary->sectorClass == 1;
        }
        EXPECT_TRUE(root);
        EXPECT_EQ(CountKind(exfat->items, kFoundExfatBoot), 2u);  // the boot sector and its backup
    }
}

// On healthy disks every volume is the one its table names: no boot sector, file record or FAT
// copy of a published volume comes back as a found structure, and nothing is adopted twice.
TEST(SectorClassifier, AHealthyDiskGivesNoVolumeTwice) {
    for (const char* name : {"ntfs.img", "fat16.img", "fat32.img", "exfat.img", "mbr-disk.img", "gpt-disk.img",
                             "fat16-quirks.img", "fat32-quirks.img"}) {
        SCOPED_TRACE(name);
        DiskRecoveryEngine engine(test::FullScanOf(test::FixtureImage(name)));
        engine.Run();
        size_t volumes = 0;
        for (const auto& part : *engine.Output()->Partitions()) {
            if (part->fsType == kFsExtFind) continue;
            ++volumes;
            EXPECT_NE(part->listedBySystem, 0u) << part->startSector;
        }
        EXPECT_EQ(volumes, test::LoadManifest(name).partitions.size());
        auto found = FoundByKind(engine);
        for (uint32_t kind : {kFoundNtfsBoot, kFoundFileRecord, kFoundFat16Boot, kFoundFat32Boot, kFoundFat32Table,
                              kFoundExfatBoot})
            EXPECT_EQ(found[kind].size(), 0u) << "kind " << kind;
        // A raw scan carves: it adopts and rebuilds no volume.
        ScanInput raw = test::FullScanOf(test::FixtureImage(name));
        raw.scanMode = 1;
        DiskRecoveryEngine carving(raw);
        carving.Run();
        for (const auto& part : *carving.Output()->Partitions()) EXPECT_EQ(part->fsType, kFsExtFind);
    }
}

// A volume at sector 0 whose boot sector the raw pass meets is adopted although the carved-files
// partition, published first, also starts at 0 in name.
TEST(SectorClassifier, AVolumeAtSectorZeroIsAdopted) {
    const auto image = test::FixtureImage("fat32.img");
    ScanInput input = test::FullScanOf(image);
    ScanOutput output;
    output.Publish(std::make_shared<ExtFindPartInfo>());
    DiskReader reader;
    ASSERT_TRUE(test::OpenImage(reader, image));
    FileSystemPass pass{input, output, reader, [] { return true; }, [] { return false; }};
    AdoptLostPartition(pass, 0);
    auto list = output.Partitions();
    ASSERT_EQ(list->size(), 2u);
    EXPECT_EQ((*list)[1]->fsType, kFsFat32);
    EXPECT_EQ((*list)[1]->startSector, 0u);
    EXPECT_GT((*list)[1]->FileCount(), 0u);
}

// A disk whose partition table was zeroed: every volume is found from its boot sector in raw
// data, named as a deleted partition, and its files are listed as the manifest has them.
TEST(SectorClassifier, VolumesOfAZeroedTableAreFoundWithTheirFiles) {
    const auto manifest = test::LoadManifest("mbr-disk.img");
    DiskRecoveryEngine engine(test::FullScanOf(test::FixtureImage("mbr-table-zeroed.img")));
    engine.Run();
    std::map<uint64_t, std::shared_ptr<PartInfo>> byStart;
    for (const auto& part : *engine.Output()->Partitions())
        if (part->fsType != kFsExtFind) byStart[part->startSector] = part;
    ASSERT_EQ(byStart.size(), manifest.partitions.size());
    for (const auto& want : manifest.partitions) {
        SCOPED_TRACE(want.startSector);
        ASSERT_TRUE(byStart.count(want.startSector));
        const PartInfo& part = *byStart.at(want.startSector);
        EXPECT_EQ(part.listedBySystem, 0u);
        EXPECT_EQ(test::Utf8(part.displayName).rfind(test::Utf8(kDeletedPartitionName), 0), 0u);
        auto paths = test::PathsOf(part);
        for (const auto& entry : want.entries) {
            if (!entry.recoveredBy.empty()) continue;  // entries only the log or a stage brings back
            EXPECT_TRUE(paths.count(test::ShownPath(want, entry))) << test::ShownPath(want, entry);
        }
    }
}
