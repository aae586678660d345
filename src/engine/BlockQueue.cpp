// The reader-to-analyser block ring.
#include "engine/BlockQueue.h"

#include <utility>

namespace ravlin {

BlockData AllocateBlock() { return platform::IoBuffer::Allocate(kBlockBytes); }

void BlockQueue::Reset() {
    std::lock_guard<std::mutex> guard(lock_);
    if (slots_.size() != kQueueBlocks) {
        slots_.clear();
        slots_.resize(kQueueBlocks);
    }
    readPos_ = writePos_ = 0;
    storedBytes_ = 0;
    closed_ = false;
}

void BlockQueue::Rewind() {
    std::lock_guard<std::mutex> guard(lock_);
    readPos_ = writePos_ = 0;
    storedBytes_ = 0;
    closed_ = false;
}

bool BlockQueue::Push(ScanBlock& block) {
    std::unique_lock<std::mutex> guard(lock_);
    notFull_.wait(guard, [&] {
        return closed_ || storedBytes_ + kBlockBytes <= uint64_t{kQueueBlocks} * kBlockBytes;
    });
    if (closed_ || slots_.empty()) return false;
    ScanBlock& slot = slots_[writePos_];
    std::swap(slot.data, block.data);
    slot.firstSector = block.firstSector;
    slot.readOk = block.readOk;
    writePos_ = (writePos_ + 1) % kQueueBlocks;
    storedBytes_ += kBlockBytes;
    notEmpty_.notify_one();
    return true;
}

bool BlockQueue::Pop(ScanBlock& block) {
    std::unique_lock<std::mutex> guard(lock_);
    notEmpty_.wait(guard, [&] { return closed_ || storedBytes_ >= kBlockBytes; });
    if (storedBytes_ < kBlockBytes) return false;
    ScanBlock& slot = slots_[readPos_];
    std::swap(slot.data, block.data);
    block.firstSector = slot.firstSector;
    block.readOk = slot.readOk;
    readPos_ = (readPos_ + 1) % kQueueBlocks;
    storedBytes_ -= kBlockBytes;
    notFull_.notify_one();
    return true;
}

void BlockQueue::Close() {
    std::lock_guard<std::mutex> guard(lock_);
    closed_ = true;
    notEmpty_.notify_all();
    notFull_.notify_all();
}

bool BlockQueue::IsClosed() const {
    std::lock_guard<std::mutex> guard(lock_);
    return closed_;
}

uint32_t BlockQueue::Stored() const {
    std::lock_guard<std::mutex> guard(lock_);
    return static_cast<uint32_t>(storedBytes_ / kBlockBytes);
}

}  // namespace ravlin
