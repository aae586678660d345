// Which 8 MiB blocks of the scan region are read, in what order, and how far each got.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace ravlin {

inline constexpr uint32_t kBlockNotRead = 0;
inline constexpr uint32_t kBlockTaken = 1;
inline constexpr uint32_t kBlockDone = 2;

class ScanRangeMap {
public:
    // Blocks from the one holding `start` to the one holding the region's last sector.
    void Init(uint64_t start, uint64_t count);

    // The next block to read: requested blocks first, then (unless listed-only) the next one
    // not read in region order. Marks it taken.
    bool NextBlock(uint64_t& first);
    // Blocks holding these sectors are read next (the latest request first).
    void RequestBlocks(const std::vector<uint64_t>& sectors);
    // Queues a block at the back of the priority list (free-space selection).
    void QueueBlock(uint64_t sector);
    void SetListedOnly(bool listedOnly);
    bool ListedOnly() const;

    void SetState(uint64_t blockSector, uint32_t state);
    // State of the block holding `sector`; positions outside the map count as done.
    uint32_t StateOf(uint64_t sector) const;
    std::vector<uint32_t> States() const;

    uint64_t Cursor() const;
    // Before a save: blocks handed out but not analysed go back to not read; when `stopped`,
    // the blocks from `rewindBlocks` before the cursor up to it go back too, and so does the
    // cursor. Returns the first block sector whose items are no longer covered (past the
    // last block when nothing was rewound).
    uint64_t PrepareForSave(bool stopped, uint64_t rewindBlocks);
    // A saved map of the same shape replaces this one (any state but processed becomes not
    // read, and the walk restarts at the first block); false, changing nothing, for one of
    // another shape.
    bool Restore(const std::vector<uint32_t>& states, uint64_t firstBlock, uint64_t lastBlock);

    uint64_t FirstBlock() const { return firstBlock_; }
    uint64_t LastBlock() const { return lastBlock_; }
    uint64_t Unit() const { return unit_; }
    uint64_t BlockCount() const;
    // Distinct queued blocks inside the map.
    uint64_t DistinctQueuedBlocks() const;
    bool Inside(uint64_t sector) const;

private:
    bool IndexOf(uint64_t sector, size_t& index) const;

    mutable std::mutex lock_;
    std::vector<uint32_t> states_;
    uint64_t firstBlock_ = 0;
    uint64_t lastBlock_ = 0;
    uint64_t cursor_ = 0;
    uint64_t unit_ = 16384;
    bool listedOnly_ = false;
    std::deque<uint64_t> priority_;
};

}  // namespace ravlin
