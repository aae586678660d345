// The sector classifier of the raw pass: every sector of a block looked at for file-system
// structures (boot sectors and partition tables, NTFS file records and index blocks, FAT and
// exFAT directory sectors, FAT32 table starts), which become found-sector items for the
// post-processing stages and the rebuilders; a boot sector that starts no known partition is
// adopted at once as a lost partition.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "fs/ScanItem.h"
#include "fs/ScanOutput.h"
#include "fs/rebuild/FoundSectors.h"

namespace ravlin {

class DiskReader;

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
