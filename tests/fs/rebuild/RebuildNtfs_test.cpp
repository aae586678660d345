// NTFS volumes rebuilt from the file records a real raw pass found: a quick-formatted volume
// comes back with its folders and files, and the group thresholds keep stray records from
// making volumes.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "disk/DiskReader.h"
#include "engine/DiskRecoveryEngine.h"
#include "fs/PartInfo.h"
#include "fs/rebuild/FoundSectors.h"
#include "fs/rebuild/Rebuild.h"
#include "support/Fixtures.h"
#include "support/FoundItems.h"
#include "support/NodePaths.h"

using namespace ravlin;

namespace {

// Records numbered from `first`, two sectors apart from `sector` on, `count` of them (a gap
// in the numbers moves the sectors with it), as items pointing at `store`.
void Plant(std::deque<NtfsRecord>& store, std::vector<ScanItem>& items, uint64_t sector, uint32_t first,
           uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        NtfsRecord r;
        r.recordNumber = first + i;
        r.parentRecord = 5;
        r.recordFlags = r.recordNumber == 5 ? 3 : 1;  // record 5, the root, is a directory
        r.name = r.recordNumber == 5 ? L"." : L"f" + std::to_wstring(first + i) + L".txt";
        store.push_back(r);
        ScanItem item;
        item.origin = kOriginClassifier;
        item.typeId = kFoundFileRecord;
        item.startSector = sector + uint64_t{i} * 2;
        item.creationInfo = reinterpret_cast<uint64_t>(&store.back());
        items.push_back(item);
    }
}

}  // namespace

// mkntfs -Q over a volume of a thousand files: the raw pass finds the old records and index
// blocks in the new volume's free space; the rebuilt volume starts where the old one did, with
// its cluster size, and its folders hold the old files with their content.
TEST(RebuildNtfs, AQuickFormattedVolumeComesBackWithItsFolders) {
    const auto image = test::FixtureImage("ntfs-quickformat.img");
    auto manifest = nlohmann::json::parse(std::ifstream(std::string(RAVLIN_FIXTURE_DIR) + "/ntfs-quickformat.img.json"));
    DiskRecoveryEngine engine(test::FullScanOf(image));
    engine.Run();
    std::vector<std::shared_ptr<PartInfo>> out;
    DiskReader reader;
    ASSERT_TRUE(test::OpenImage(reader, image));
    RebuildNtfsFromRecords(&reader, test::FoundItems(engine), out, 0);
    ASSERT_EQ(out.size(), 1u);
    PartInfo& part = *out[0];
    EXPECT_EQ(part.fsType, kFsNtfs);
    EXPECT_EQ(part.startSector, manifest["volume"]["start_sector"].get<uint64_t>());
    auto paths = test::PathsOf(part);
    size_t listed = 0, exact = 0;
    const auto& files = manifest["files_before_format"];
    for (const auto& f : files) {
        auto it = paths.find(f["path"].get<std::string>());
        if (it == paths.end()) continue;
        ++listed;
        EXPECT_EQ(it->second->kind, NodeKind::DeletedFile);
        EXPECT_EQ(it->second->size, f["size"].get<uint64_t>());
        exact += test::ContentMd5(part, reader, *it->second) == f["md5"].get<std::string>();
    }
    // The new volume's own metadata overwrote a few of the old records and clusters.
    EXPECT_GE(listed, files.size() * 95 / 100);
    EXPECT_GE(exact, listed * 95 / 100);
}

// 49 records give nothing; 300 consecutive ones form one group (a gap in the numbers with the
// matching gap in the sectors keeps it whole); a gap that does not match splits it in two;
// without index blocks a volume sits where the default MFT place puts it.
TEST(RebuildNtfs, TheGroupThresholdsHold) {
    DiskReader reader;  // rebuilding reads nothing: a closed reader serves
    auto rebuild = [&](const std::vector<ScanItem>& items) {
        std::vector<std::shared_ptr<PartInfo>> out;
        RebuildNtfsFromRecords(&reader, items, out, 0);
        return out;
    };
    const uint64_t mft = kDefaultMftSectors + 2048;
    std::deque<NtfsRecord> store;
    std::vector<ScanItem> few;
    Plant(store, few, mft, 0, 49);
    EXPECT_TRUE(rebuild(few).empty());

    std::vector<ScanItem> whole;
    Plant(store, whole, mft, 0, 150);
    Plant(store, whole, mft + 151 * 2, 151, 150);  // record 150 missing, its two sectors too
    auto one = rebuild(whole);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0]->startSector, 2048u);
    EXPECT_EQ(test::PathsOf(*one[0]).count("f299.txt"), 1u);

    std::vector<ScanItem> split;
    Plant(store, split, mft, 0, 150);
    Plant(store, split, mft + 150 * 2 + 6, 150, 150);  // three sectors too far on
    auto two = rebuild(split);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0]->startSector, 2048u);
    EXPECT_EQ(two[1]->startSector, 2048u + 6);
}
