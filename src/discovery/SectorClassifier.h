// The sector classifier of the raw pass: every sector of a block looked at for file-system
// structures (boot sectors and partition tables, NTFS file records and index blocks, FAT and
// exFAT directory sectors, FAT32 table starts), which become found-sector items for the
// post-processing stages and the rebuilders; a boot sector that starts no known partition is
// adopted at once as a lost partition.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "carve/ScanItem.h"
#include "fs/ntfs/NtfsRecord.h"
#include "fs/ScanOutput.h"

namespace ravlin {

class DiskReader;

// Found-sector kinds (the item's type id, origin 2).
inline constexpr uint32_t kFoundMbr = 1;
inline constexpr uint32_t kFoundEbr = 2;
inline constexpr uint32_t kFoundNtfsBoot = 3;
inline constexpr uint32_t kFoundFileRecord = 4;
inline constexpr uint32_t kFoundIndexBlock = 5;
inline constexpr uint32_t kFoundFat16Boot = 6;
inline constexpr uint32_t kFoundFat32Boot = 7;
inline constexpr uint32_t kFoundFat32Table = 8;
inline constexpr uint32_t kFoundFatDirectory = 9;
inline constexpr uint32_t kFoundExfatBoot = 10;
inline constexpr uint32_t kFoundExfatDirectory = 11;
inline constexpr uint32_t kFoundGptHeader = 12;

// A FAT directory sector in short (28 bytes on disk when saved).
struct FatDirectorySummary {
    uint32_t sectorClass = 0;  // 1 starts with a volume label, 2 starts with "." and "..", 3 other
    uint32_t ownCluster = 0;     // the cluster of "." (class 2)
    uint32_t parentCluster = 0;  // the cluster of ".." (class 2)
    uint32_t lowCluster = 0;     // the lowest and highest first cluster its entries name
    uint32_t highCluster = 0;
    uint16_t entries = 0;  // short entries, live and deleted
    uint16_t longNameSlots = 0;
    uint16_t directories = 0;
};

// An exFAT directory sector in short: its class (1 root, 2 starts with a file entry set, 3
// other), its entries, and two clusters: the bitmap's and the up-case table's for a root, the
// first file's first cluster and data length's low word otherwise. The sector's bytes are kept
// for the rebuilder.
struct ExfatDirectorySummary {
    uint32_t sectorClass = 0;
    uint32_t entries = 0;
    uint32_t clusterBytes = 0;  // a power of two from 512 to 16 MiB when known, else 0
    uint32_t firstCluster = 0;
    uint32_t secondCluster = 0;
    uint32_t sectors = 1;  // consecutive directory sectors from this one
    std::array<uint8_t, 512> bytes{};
};

// An index entry harvested from an "INDX" block in raw space.
struct NameRecord {
    uint32_t nodeId = 0;    // the file's record number
    uint32_t parentId = 0;  // its directory's record number
    uint64_t startSector = 0;
    uint64_t size = 0;
    uint32_t firstTime = 0;  // creation and modification, Unix seconds
    uint32_t secondTime = 0;
    uint32_t typeId = 0;
    std::wstring name;
};

// What the classifier keeps for the items' payload words to point at, for the scan's life.
struct FoundSectorStore {
    std::deque<std::array<uint8_t, 512>> sectors;  // copies of classified sectors
    std::deque<NtfsRecord> records;  // file records, runs in clusters from cluster 0
    std::deque<FatDirectorySummary> fatDirectories;
    std::deque<ExfatDirectorySummary> exfatDirectories;
    std::vector<NameRecord> names;
};

// Bounds on what stray data can make the classifier keep.
inline constexpr size_t kMaxFoundRecords = 4000000;      // NTFS file records per scan
inline constexpr size_t kMaxFoundDirectories = 2000000;  // FAT and exFAT directory sectors per scan
inline constexpr size_t kMaxNameRecords = 4000000;       // per scan
inline constexpr size_t kMaxNamesPerBlock = 8192;

// Whether the 512 bytes look like exFAT directory entries: known entry types only, every file
// entry set that lies wholly in the sector with a matching checksum, and at least one such set
// (or, in `rootMode`, the allocation-bitmap and up-case-table entries).
bool IsExfatDirectorySector(std::span<const uint8_t> sector, bool rootMode);
// The summary of a FAT directory sector; false when two entries name the same first cluster.
bool SummariseFatDirectory(std::span<const uint8_t> sector, FatDirectorySummary& out);
// The summary of an exFAT directory sector.
void SummariseExfatDirectory(std::span<const uint8_t> sector, ExfatDirectorySummary& out);
// True when every 512-byte block of the record ends in its update-sequence value.
bool FixupsMatch(std::span<const uint8_t> record);

class SectorClassifier {
public:
    // `adopt` is called with the sector of every boot sector found (it adopts lost partitions);
    // may be empty.
    SectorClassifier(FoundSectorStore& store, std::function<void(uint64_t)> adopt);

    // Clears the state for a new scan; the reader completes records and reads pending runs.
    void Reset(DiskReader* reader);
    // Every sector of the block (16384 sectors of `data` from `firstSector`) against the tests;
    // found-sector items go to `items`. Returns the sectors it wants read soon.
    // Sectors of the partitions `output` publishes (re-read after each adoption) are skipped.
    std::vector<uint64_t> ClassifyBlock(uint64_t firstSector, const uint8_t* data, std::vector<ScanItem>& items,
                                        const ScanOutput& output);

private:
    struct Pending {
        uint32_t kind;  // 1 an exFAT root, else a FAT32 table candidate
        uint64_t sector;
        uint32_t count;
    };
    struct FatRange {
        uint64_t first;
        uint64_t length;
    };

    bool Claimed(uint64_t sector, const PartitionList& partitions) const;
    bool InFatRange(uint64_t sector) const;
    bool FileRecord(uint64_t sector, const uint8_t* data, size_t index, const uint8_t* block,
                    std::vector<ScanItem>& items, const PartitionList& partitions);
    bool IndexBlock(uint64_t sector, const uint8_t* block, size_t index, std::vector<ScanItem>& items);
    void HarvestNames(const uint8_t* index, size_t bytes, uint32_t parent);
    bool Fat32TableStart(uint64_t sector, const uint8_t* block, size_t index, std::vector<ScanItem>& items);
    void EndOfBlock(uint64_t firstSector, const uint8_t* block, std::vector<ScanItem>& items);
    void AddSectorCopy(uint64_t sector, uint32_t kind, const uint8_t* data, std::vector<ScanItem>& items);

    FoundSectorStore& store_;
    std::function<void(uint64_t)> adopt_;
    DiskReader* reader_ = nullptr;
    std::vector<Pending> pending_;
    std::vector<FatRange> fatRanges_;
    uint64_t lastDirectory_ = ~uint64_t{0};
    ExfatDirectorySummary* lastExfat_ = nullptr;  // the summary a run of sectors extends
    bool directorySearch_ = true;
    size_t namesThisBlock_ = 0;
};

}  // namespace ravlin
