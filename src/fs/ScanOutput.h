// The scan's live counters and its published partition list.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/AtomicShared.h"

namespace ravlin {

class PartInfo;

using PartitionList = std::vector<std::shared_ptr<PartInfo>>;

struct ScanOutput {
    std::atomic<uint64_t> scannedSectors{0};
    std::atomic<uint64_t> totalSectors{0};
    std::atomic<uint64_t> filesFound{0};
    std::atomic<uint64_t> carvedFiles{0};  // nodes of the carved-files partition
    std::atomic<uint64_t> partitionCount{0};

    ScanOutput() : partitions_(std::make_shared<const PartitionList>()) {}

    // The list as last published; never changed afterwards.
    std::shared_ptr<const PartitionList> Partitions() const { return partitions_.Load(); }

    // Appends a partition by copy-on-write; readers see the old or the new list, never a mix.
    void Publish(std::shared_ptr<PartInfo> part) {
        auto current = partitions_.Load();
        for (;;) {
            auto next = std::make_shared<PartitionList>(*current);
            next->push_back(part);
            size_t size = next->size();
            if (partitions_.CompareExchange(current, std::move(next))) {
                partitionCount.store(size);
                return;
            }
        }
    }

    // Drops a partition by copy-on-write; false when it is not in the list.
    bool Remove(const PartInfo* part) {
        auto current = partitions_.Load();
        for (;;) {
            auto next = std::make_shared<PartitionList>();
            for (const auto& p : *current)
                if (p.get() != part) next->push_back(p);
            if (next->size() == current->size()) return false;
            size_t size = next->size();
            if (partitions_.CompareExchange(current, std::move(next))) {
                partitionCount.store(size);
                return true;
            }
        }
    }

    // Adds to filesFound, or subtracts without going below 0.
    void AddFiles(uint64_t count) { filesFound.fetch_add(count); }
    void SubtractFiles(uint64_t count) {
        uint64_t value = filesFound.load();
        while (!filesFound.compare_exchange_weak(value, value > count ? value - count : 0)) {
        }
    }

private:
    AtomicSharedPtr<const PartitionList> partitions_;
};

}  // namespace ravlin
