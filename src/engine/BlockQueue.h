// The bounded ring of 8 MiB blocks between the reader thread and the analyser thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/Device.h"

namespace ravlin {

inline constexpr uint32_t kBlockSectors = 16384;  // 8 MiB of 512-byte sectors
inline constexpr uint32_t kBlockBytes = kBlockSectors * 512;
inline constexpr uint32_t kQueueBlocks = 8;

// Page-aligned buffer of one block, filled by the reader without copying.
using BlockData = std::shared_ptr<platform::IoBuffer>;
BlockData AllocateBlock();

struct ScanBlock {
    BlockData data;
    uint64_t firstSector = 0;
    uint32_t readOk = 0;

    ScanBlock() : data(AllocateBlock()) {}
};

// Blocks travel by value: Push hands the block's content to the ring and Pop hands it out.
// The buffers are exchanged rather than copied, so each side keeps exactly one buffer.
class BlockQueue {
public:
    BlockQueue() = default;

    // Allocates the ring's buffers (once per scan), empties it and opens it.
    void Reset();
    // Empties the ring and opens it, keeping its buffers.
    void Rewind();

    // Waits for room; false when the queue is closed.
    bool Push(ScanBlock& block);
    // Waits for a block; false when the queue is closed and empty. Blocks stored when the queue
    // closes are still delivered.
    bool Pop(ScanBlock& block);
    void Close();
    bool IsClosed() const;
    uint32_t Stored() const;

private:
    mutable std::mutex lock_;
    std::condition_variable notEmpty_;
    std::condition_variable notFull_;
    std::vector<ScanBlock> slots_;
    uint32_t readPos_ = 0;
    uint32_t writePos_ = 0;
    uint64_t storedBytes_ = 0;
    bool closed_ = false;
};

}  // namespace ravlin
