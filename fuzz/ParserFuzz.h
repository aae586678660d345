// Drives registry rows' parsers over fuzzed bytes: the bytes at a block's first sector, and
// again straddling the block's end so that the parser waits for the window; at the end the
// parsers still waiting give up, as at the end of a raw pass.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <utility>
#include <vector>

#include "carve/Carver.h"
#include "carve/Registry.h"

namespace ravlin::fuzz {

// The registry's rows of the given types.
inline ParserRegistry RowsOf(std::initializer_list<uint32_t> types) {
    ParserRegistry r;
    for (const auto& entry : GetParserRegistry())
        if (std::find(types.begin(), types.end(), entry.typeId) != types.end()) r.push_back(entry);
    return r;
}

inline int FuzzRows(const ParserRegistry& rows, const uint8_t* data, size_t size) {
    constexpr size_t kBlockBytes = kBlockUnit * 512;
    static std::vector<uint8_t> disk(3 * kBlockBytes, 0);
    static BlockWindow window;
    static std::vector<std::pair<size_t, size_t>> dirty;  // spans the last input wrote
    if (size < 2 || size > kBlockBytes) return 0;
    for (auto [at, n] : dirty) std::memset(disk.data() + at, 0, n);
    dirty.clear();
    auto put = [&](size_t at, const uint8_t* bytes, size_t n) {
        n = std::min(n, disk.size() - at);
        std::memcpy(disk.data() + at, bytes, n);
        dirty.emplace_back(at, n);
    };
    // The first byte picks how many sectors before the first block's end the second copy starts.
    size_t back = (data[0] % 32 + 1) * size_t{512};
    put(0, data + 1, std::min(size - 1, kBlockBytes - back));
    put(kBlockBytes - back, data + 1, size - 1);
    window.Clear();
    CreateInfoStore infos;
    Carver carver(rows, window, infos, [] { return true; });
    for (uint64_t b = 0; b < 3; ++b) {
        uint64_t first = b * kBlockUnit;
        const uint8_t* block = disk.data() + b * kBlockBytes;
        bool fed = false;
        if (carver.HasPending() && carver.WantsBlock(first)) {
            window.Feed(first, block);
            fed = true;
        }
        std::vector<ScanItem> items;
        carver.CarveBlock(first, block, items);
        carver.ContinuePending(first, items);
        if (!fed && carver.HasPending() && carver.WantsBlock(first)) window.Feed(first, block);
    }
    std::vector<ScanItem> items;
    carver.AbandonPending(items);
    return 0;
}

inline int FuzzOneParser(uint32_t typeId, const uint8_t* data, size_t size) {
    static const ParserRegistry rows = RowsOf({typeId});
    return FuzzRows(rows, data, size);
}

}  // namespace ravlin::fuzz
