// One hit of the raw pass, and the per-block lists of them.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

namespace ravlin {

inline constexpr uint32_t kOriginCarving = 0;
inline constexpr uint32_t kOriginVideoFragment = 1;
inline constexpr uint32_t kOriginClassifier = 2;

// Packed: copy a field out before binding it to a reference (std::min, std::pair, gtest
// macros), since the reference may be misaligned.
#pragma pack(push, 1)
struct ScanItem {
    uint32_t origin = 0;  // 0 carving, 1 video fragment, 2 sector classifier
    uint8_t status = 0;
    uint64_t startSector = 0;
    uint64_t size = 0;  // bytes, 0 while unknown
    uint32_t typeId = 0;
    uint64_t creationInfo = 0;  // the address of a kept _FILE_CREATE_INFO, or the parser's aux word
};
#pragma pack(pop)
static_assert(sizeof(ScanItem) == 33, "ScanItem is packed");

inline constexpr uint64_t kBlockUnit = 16384;  // sectors per block of the raw pass

// One sorted list of items per block of the scan region. Lists are replaced whole, so a reader
// holding one sees it unchanged.
class RecordIndex {
public:
    using List = std::shared_ptr<const std::vector<ScanItem>>;

    void Reset(uint64_t firstBlockSector, uint64_t blockCount) {
        std::lock_guard<std::mutex> guard(lock_);
        firstBlockSector_ = firstBlockSector;
        lists_.assign(blockCount, List());
        nonEmpty_.clear();
    }
    // Replaces the list of the block that starts at `blockSector` with `items` (sorted by start
    // sector); false outside the index.
    bool ReplaceBlock(uint64_t blockSector, std::vector<ScanItem> items) {
        std::lock_guard<std::mutex> guard(lock_);
        size_t i;
        if (!IndexOf(blockSector, i)) return false;
        SetLocked(i, std::move(items));
        return true;
    }
    // Overwrites the item of the item's own block with the same start sector (and, for a
    // listed item of origin 1, the same type); an update of origin 2 that matches none is
    // inserted in order, any other is dropped. False when nothing changed.
    bool UpdateItem(const ScanItem& item) {
        std::lock_guard<std::mutex> guard(lock_);
        size_t i;
        if (!IndexOf(item.startSector, i)) return false;
        std::vector<ScanItem> items = lists_[i] ? *lists_[i] : std::vector<ScanItem>();
        for (ScanItem& listed : items) {
            if (listed.startSector != item.startSector) continue;
            if (listed.origin == kOriginVideoFragment && listed.typeId != item.typeId) continue;
            listed = item;
            SetLocked(i, std::move(items));
            return true;
        }
        if (item.origin != kOriginClassifier) return false;
        auto at = items.begin();
        while (at != items.end() && at->startSector <= item.startSector) ++at;
        items.insert(at, item);
        SetLocked(i, std::move(items));
        return true;
    }
    List Block(uint64_t blockSector) const {
        std::lock_guard<std::mutex> guard(lock_);
        size_t i;
        return IndexOf(blockSector, i) ? lists_[i] : List();
    }
    std::optional<ScanItem> LastItemOf(uint64_t blockSector) const {
        std::lock_guard<std::mutex> guard(lock_);
        size_t i;
        if (!IndexOf(blockSector, i) || !lists_[i] || lists_[i]->empty()) return std::nullopt;
        return lists_[i]->back();
    }
    // The first item of the first block from `blockSector` on whose list is not empty.
    std::optional<ScanItem> FirstItemFrom(uint64_t blockSector) const {
        std::lock_guard<std::mutex> guard(lock_);
        if (blockSector < firstBlockSector_) blockSector = firstBlockSector_;
        auto it = nonEmpty_.lower_bound((blockSector - firstBlockSector_) / kBlockUnit);
        if (it == nonEmpty_.end()) return std::nullopt;
        return lists_[*it]->front();
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
    bool IndexOf(uint64_t sector, size_t& index) const {
        if (sector < firstBlockSector_) return false;
        uint64_t i = (sector - firstBlockSector_) / kBlockUnit;
        if (i >= lists_.size()) return false;
        index = static_cast<size_t>(i);
        return true;
    }
    void SetLocked(size_t i, std::vector<ScanItem> items) {
        if (items.empty()) {
            nonEmpty_.erase(i);
        } else {
            nonEmpty_.insert(i);
        }
        lists_[i] = std::make_shared<const std::vector<ScanItem>>(std::move(items));
    }

    mutable std::mutex lock_;
    uint64_t firstBlockSector_ = 0;
    std::vector<List> lists_;
    std::set<size_t> nonEmpty_;  // blocks whose list holds items
};

}  // namespace ravlin
