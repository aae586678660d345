// A disk in memory carved block by block as the engine's analyser carves it: the window fed
// when waiting parsers want a block, each block carved, the waiting parsers offered the window.
#pragma once

#include <cstring>
#include <functional>
#include <optional>
#include <vector>

#include "carve/Carver.h"

namespace ravlin::test {

struct Drive {
    std::vector<uint8_t> disk;
    BlockWindow window;
    CreateInfoStore infos;
    Carver carver;
    std::vector<std::vector<ScanItem>> items;  // per block, as the loop made them

    Drive(const ParserRegistry& registry, uint64_t blocks, std::function<bool()> keepRunning = {})
        : disk(blocks * kBlockBytes64, 0), carver(registry, window, infos, std::move(keepRunning)) {}

    void Put(uint64_t sector, const void* bytes, size_t length) {
        std::memcpy(disk.data() + sector * 512, bytes, length);
    }
    void Put(uint64_t sector, const std::vector<uint8_t>& bytes) { Put(sector, bytes.data(), bytes.size()); }
    // `endPass`: the raw pass ends with the disk, and the parsers still waiting give up.
    void Run(bool endPass = true) {
        for (uint64_t b = 0; b * kBlockBytes64 < disk.size(); ++b) {
            const uint8_t* data = disk.data() + b * kBlockBytes64;
            uint64_t first = b * kBlockUnit;
            bool fed = false;
            if (carver.HasPending() && carver.WantsBlock(first)) {
                window.Feed(first, data);
                fed = true;
            }
            std::vector<ScanItem> found;
            carver.CarveBlock(first, data, found);
            carver.ContinuePending(first, found);
            if (!fed && carver.HasPending() && carver.WantsBlock(first)) window.Feed(first, data);
            items.push_back(std::move(found));
        }
        if (endPass && !items.empty()) carver.AbandonPending(items.back());
    }
    // The last item made for a file starting at `sector` (a finished one replaces the provisional
    // item of its start), if any.
    std::optional<ScanItem> At(uint64_t sector) const {
        std::optional<ScanItem> out;
        for (const auto& block : items)
            for (const ScanItem& item : block)
                if (uint64_t{item.startSector} == sector) out = item;
        return out;
    }
};

}  // namespace ravlin::test
