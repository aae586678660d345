// The block progress map of the raw pass.
#include "engine/ScanRangeMap.h"

#include <algorithm>
#include <set>

namespace ravlin {

void ScanRangeMap::Init(uint64_t start, uint64_t count) {
    std::lock_guard<std::mutex> guard(lock_);
    unit_ = 16384;
    firstBlock_ = start - start % unit_;
    // The block of the region's last sector: a region ending on a block boundary does not
    // reach into the next block.
    uint64_t last = count == 0 ? start : start + count - 1;
    lastBlock_ = last - last % unit_;
    cursor_ = firstBlock_;
    states_.assign((lastBlock_ - firstBlock_) / unit_ + 1, kBlockNotRead);
    listedOnly_ = false;
    priority_.clear();
}

// Every sector of every block belongs to the map, the last block's included.
bool ScanRangeMap::IndexOf(uint64_t sector, size_t& index) const {
    if (unit_ == 0 || sector < firstBlock_) return false;
    uint64_t i = (sector - firstBlock_) / unit_;
    if (i >= states_.size()) return false;
    index = static_cast<size_t>(i);
    return true;
}

bool ScanRangeMap::NextBlock(uint64_t& first) {
    std::lock_guard<std::mutex> guard(lock_);
    while (!priority_.empty()) {
        uint64_t block = priority_.front();
        priority_.pop_front();
        size_t i;
        if (!IndexOf(block, i) || states_[i] != kBlockNotRead) continue;
        states_[i] = kBlockTaken;
        first = block;
        return true;
    }
    if (listedOnly_) return false;
    for (; cursor_ <= lastBlock_; cursor_ += unit_) {
        size_t i;
        if (IndexOf(cursor_, i) && states_[i] == kBlockNotRead) {
            states_[i] = kBlockTaken;
            first = cursor_;
            cursor_ += unit_;
            return true;
        }
    }
    return false;
}

void ScanRangeMap::RequestBlocks(const std::vector<uint64_t>& sectors) {
    std::lock_guard<std::mutex> guard(lock_);
    for (uint64_t sector : sectors) {
        size_t i;
        if (IndexOf(sector, i)) priority_.push_front(sector - sector % unit_);
    }
}

void ScanRangeMap::QueueBlock(uint64_t sector) {
    std::lock_guard<std::mutex> guard(lock_);
    priority_.push_back(sector - sector % unit_);
}

void ScanRangeMap::SetListedOnly(bool listedOnly) {
    std::lock_guard<std::mutex> guard(lock_);
    listedOnly_ = listedOnly;
}

bool ScanRangeMap::ListedOnly() const {
    std::lock_guard<std::mutex> guard(lock_);
    return listedOnly_;
}

void ScanRangeMap::SetState(uint64_t blockSector, uint32_t state) {
    std::lock_guard<std::mutex> guard(lock_);
    size_t i;
    if (IndexOf(blockSector, i)) states_[i] = state;
}

uint32_t ScanRangeMap::StateOf(uint64_t sector) const {
    std::lock_guard<std::mutex> guard(lock_);
    size_t i;
    return IndexOf(sector, i) ? states_[i] : kBlockDone;
}

std::vector<uint32_t> ScanRangeMap::States() const {
    std::lock_guard<std::mutex> guard(lock_);
    return states_;
}

uint64_t ScanRangeMap::BlockCount() const {
    std::lock_guard<std::mutex> guard(lock_);
    return states_.size();
}

uint64_t ScanRangeMap::DistinctQueuedBlocks() const {
    std::lock_guard<std::mutex> guard(lock_);
    std::set<uint64_t> distinct;
    for (uint64_t block : priority_) {
        size_t i;
        if (IndexOf(block, i)) distinct.insert(block);
    }
    return distinct.size();
}

uint64_t ScanRangeMap::Cursor() const {
    std::lock_guard<std::mutex> guard(lock_);
    return cursor_;
}

uint64_t ScanRangeMap::PrepareForSave(bool stopped, uint64_t rewindBlocks) {
    std::lock_guard<std::mutex> guard(lock_);
    for (uint32_t& state : states_)
        if (state == kBlockTaken) state = kBlockNotRead;
    if (!stopped || unit_ == 0 || cursor_ <= firstBlock_) return lastBlock_ + unit_;
    uint64_t rewindTo = cursor_ - firstBlock_ > rewindBlocks * unit_ ? cursor_ - rewindBlocks * unit_ : firstBlock_;
    rewindTo = std::max(firstBlock_, rewindTo - rewindTo % unit_);
    for (uint64_t block = rewindTo; block < cursor_; block += unit_) {
        size_t i;
        if (IndexOf(block, i)) states_[i] = kBlockNotRead;
    }
    cursor_ = rewindTo;
    return rewindTo;
}

bool ScanRangeMap::Restore(const std::vector<uint32_t>& states, uint64_t firstBlock, uint64_t lastBlock) {
    std::lock_guard<std::mutex> guard(lock_);
    if (states.size() != states_.size() || firstBlock != firstBlock_ || lastBlock != lastBlock_) return false;
    for (size_t i = 0; i < states.size(); ++i) states_[i] = states[i] == kBlockDone ? kBlockDone : kBlockNotRead;
    // The walk starts over from the first block: it passes the processed ones, and reads the
    // ones before the saved cursor that failed or were handed out when the scan was saved.
    cursor_ = firstBlock_;
    return true;
}

bool ScanRangeMap::Inside(uint64_t sector) const {
    std::lock_guard<std::mutex> guard(lock_);
    size_t i;
    return IndexOf(sector, i);
}

}  // namespace ravlin
