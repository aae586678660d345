// The last up to 12 consecutive blocks of the raw pass in one buffer, so that a parser waiting
// for data can be offered up to 96 MiB of its file at once.
#pragma once

#include <cstdint>

#include "fs/ScanItem.h"

namespace ravlin {

inline constexpr uint32_t kWindowBlocks = 12;
inline constexpr uint64_t kBlockBytes64 = kBlockUnit * 512;

class BlockWindow {
public:
    BlockWindow();  // allocates the whole buffer (96 MiB) once
    ~BlockWindow();
    BlockWindow(const BlockWindow&) = delete;
    BlockWindow& operator=(const BlockWindow&) = delete;

    // Appends the block at `firstSector` when it follows the last one (dropping the oldest of
    // a full window); any other block starts the window over with it alone.
    void Feed(uint64_t firstSector, const uint8_t* data);
    void Clear() { count_ = 0; }

    bool Empty() const { return count_ == 0; }
    uint64_t FirstSector() const { return first_; }
    // The last sector held; meaningless when empty.
    uint64_t LastSector() const { return first_ + uint64_t{count_} * kBlockUnit - 1; }
    uint32_t BlockCount() const { return count_; }
    const uint8_t* Data() const { return data_; }
    uint32_t Bytes() const { return static_cast<uint32_t>(count_ * kBlockBytes64); }
    // Whether sectors [first, last] all lie in the window.
    bool Holds(uint64_t first, uint64_t last) const {
        return count_ != 0 && first <= last && first >= first_ && last <= LastSector();
    }

private:
    uint8_t* data_;
    uint64_t first_ = 0;
    uint32_t count_ = 0;
};

}  // namespace ravlin
