// One hit of the raw pass, and the per-block lists of them.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace ravlin {

#pragma pack(push, 1)
struct ScanItem {
    uint32_t origin = 0;  // 0 carving, 1 video fragment, 2 sector classifier
    uint8_t status = 0;
    uint64_t startSector = 0;
    uint64_t size = 0;  // bytes, 0 while unknown
    uint32_t typeId = 0;
    uint64_t creationInfo = 0;
};
#pragma pack(pop)
static_assert(sizeof(ScanItem) == 33, "ScanItem is packed");

// One sorted list of items per block of the scan region.
class RecordIndex {
public:
    using List = std::shared_ptr<const std::vector<ScanItem>>;

    void Reset(uint64_t firstBlockSector, uint64_t blockCount) {
        std::lock_guard<std::mutex> guard(lock_);
        firstBlockSector_ = firstBlockSector;
        lists_.assign(blockCount, List());
    }
    // Replaces the list of the block that starts at `blockSector`; false outside the index.
    bool ReplaceBlock(uint64_t blockSector, std::vector<ScanItem> items) {
        std::lock_guard<std::mutex> guard(lock_);
        size_t i;
        if (!IndexOf(blockSector, i)) return false;
        lists_[i] = std::make_shared<const std::vector<ScanItem>>(std::move(items));
        return true;
    }
    List Block(uint64_t blockSector) const {
        std::lock_guard<std::mutex> guard(lock_);
        size_t i;
        return IndexOf(blockSector, i) ? lists_[i] : List();
    }
    uint64_t FirstBlockSector() const {
        std::lock_guard<std::mutex> guard(lock_);
        return firstBlockSector_;
    }
    uint64_t BlockCount() const {
        std::lock_guard<std::mutex> guard(lock_);
        return lists_.size();
    }

private:
    bool IndexOf(uint64_t sector, size_t& index) const;

    mutable std::mutex lock_;
    uint64_t firstBlockSector_ = 0;
    std::vector<List> lists_;
};

inline bool RecordIndex::IndexOf(uint64_t sector, size_t& index) const {
    if (sector < firstBlockSector_) return false;
    uint64_t i = (sector - firstBlockSector_) / 16384;
    if (i >= lists_.size()) return false;
    index = static_cast<size_t>(i);
    return true;
}

}  // namespace ravlin
