// The block window.
#include "carve/BlockWindow.h"

#include <cstring>
#include <new>

#include "platform/Memory.h"

namespace ravlin {

BlockWindow::BlockWindow()
    : data_(static_cast<uint8_t*>(platform::AllocateLarge(kWindowBlocks * kBlockBytes64))) {
    if (!data_) throw std::bad_alloc();
}

BlockWindow::~BlockWindow() { platform::FreeLarge(data_, kWindowBlocks * kBlockBytes64); }

void BlockWindow::Feed(uint64_t firstSector, const uint8_t* data) {
    auto startOver = [&] {
        first_ = firstSector;
        count_ = 1;
        std::memcpy(data_, data, kBlockBytes64);
    };
    if (count_ == 0 || firstSector < first_ || firstSector - first_ >= (kWindowBlocks + 1) * kBlockUnit ||
        (firstSector - first_) % kBlockUnit != 0) {
        startOver();
        return;
    }
    uint64_t i = (firstSector - first_) / kBlockUnit;
    if (i < kWindowBlocks) {
        if (i != count_) {
            startOver();  // a gap, or a block fed again
            return;
        }
        std::memcpy(data_ + i * kBlockBytes64, data, kBlockBytes64);
        ++count_;
        return;
    }
    // The block right after a full window: the oldest one goes.
    if (count_ != kWindowBlocks) {
        startOver();
        return;
    }
    std::memmove(data_, data_ + kBlockBytes64, (kWindowBlocks - 1) * kBlockBytes64);
    std::memcpy(data_ + (kWindowBlocks - 1) * kBlockBytes64, data, kBlockBytes64);
    first_ += kBlockUnit;
}

}  // namespace ravlin
