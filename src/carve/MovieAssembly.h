// Movies rebuilt from scattered pieces: each movie box's chunk offsets are searched for among
// the positions where sample data typically begins, the chunks found give the pieces' places
// on the disk, and the pieces become the sector runs of one file under the video-files
// pseudo-partition.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "carve/VideoScanner.h"
#include "fs/PartInfo.h"
#include "fs/ScanItem.h"

namespace ravlin {

inline constexpr uint32_t kMovieFolderId = 67;

// Where chunks with the file offsets `offsets` (ascending) lie among `positions` (sorted,
// distinct absolute byte positions): `placed` gets one position per chunk. False when too few
// chunks are found, or the first found lies past chunk 50.
bool PlaceChunks(const std::vector<uint32_t>& offsets, const std::vector<uint64_t>& positions,
                 std::vector<uint64_t>& placed);

// The name of a rebuilt movie from its packed time and first sector.
std::wstring MovieName(uint32_t packedTime, uint64_t firstSector);

class MovieAssembler {
public:
    // Takes the video items (origin 1) with the scanner that keeps their records; false when
    // nothing can be assembled (no complete movie box, or no positions).
    bool Collect(const std::vector<ScanItem>& items, const VideoScanner& scanner);
    // Rebuilds the movies, asking `keepRunning` before each; returns how many files were made.
    uint32_t Assemble(const std::function<bool()>& keepRunning);
    const std::shared_ptr<ExtFindPartInfo>& Partition() const { return partition_; }

private:
    struct Pair {
        const ScanItem* ftyp = nullptr;
        const ScanItem* mdat = nullptr;
    };
    bool FindFtypAndMdat(const ScanItem& moov, uint64_t firstOffset, uint64_t firstPosition, Pair& pair) const;
    bool BuildRuns(const Pair& pair, const ScanItem& moov, const std::vector<uint64_t>& offsets,
                   const std::vector<int64_t>& displacements, std::vector<DataRun>& runs, uint64_t& size) const;

    const VideoScanner* scanner_ = nullptr;
    std::shared_ptr<ExtFindPartInfo> partition_;
    std::vector<ScanItem> ftyps_, moovs_, mdats_;
    std::vector<uint64_t> positions_[4];  // item types 4 to 7
    uint32_t nextId_ = 256;
};

}  // namespace ravlin
