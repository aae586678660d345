// Raw bytes carved with the whole registry, as the analyser does over three consecutive blocks:
// the input lies at the first sector and again straddling the first block's end, so parsers
// both finish in their own block and wait for the window.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "carve/CarvedNodes.h"
#include "carve/Carver.h"
#include "carve/Registry.h"

using namespace ravlin;

namespace {

constexpr uint64_t kBlocks = 3;
constexpr size_t kBlockBytes = kBlockUnit * 512;

// The three blocks, with the spans the last input wrote, cleared before the next.
struct Disk {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(kBlocks * kBlockBytes, 0);
    std::vector<std::pair<size_t, size_t>> dirty;

    void Clear() {
        for (auto [at, size] : dirty) std::memset(bytes.data() + at, 0, size);
        dirty.clear();
    }
    void Put(size_t at, const uint8_t* data, size_t size) {
        size = std::min(size, bytes.size() - at);
        std::memcpy(bytes.data() + at, data, size);
        dirty.emplace_back(at, size);
    }
};

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Disk disk;
    static BlockWindow window;
    if (size < 2 || size > 4 * kBlockBytes / 2) return 0;
    // The first byte picks how many sectors before the first block's end the second copy starts.
    size_t back = (data[0] % 64 + 1) * size_t{512};
    const uint8_t* body = data + 1;
    size_t length = size - 1;
    disk.Clear();
    disk.Put(0, body, std::min(length, kBlockBytes - back));
    disk.Put(kBlockBytes - back, body, length);

    window.Clear();
    CreateInfoStore infos;
    Carver carver(GetParserRegistry(), window, infos, [] { return true; });
    ScanOutput output;
    RecordIndex index;
    index.Reset(0, kBlocks);
    CarvedNodeBuilder builder(output, index, infos, 0, kBlocks * kBlockUnit, 0);
    builder.CreateCarvedPartition(L"fuzz");
    for (uint64_t b = 0; b < kBlocks; ++b) {
        uint64_t first = b * kBlockUnit;
        const uint8_t* block = disk.bytes.data() + b * kBlockBytes;
        bool fed = false;
        if (carver.HasPending() && carver.WantsBlock(first)) {
            window.Feed(first, block);
            fed = true;
        }
        std::vector<ScanItem> items;
        carver.CarveBlock(first, block, items);
        carver.ContinuePending(first, items);
        if (!fed && carver.HasPending() && carver.WantsBlock(first)) window.Feed(first, block);
        std::vector<ScanItem> own;
        for (const ScanItem& item : items) {
            const uint64_t start = item.startSector;
            Check(start < first + kBlockUnit);  // nothing starts ahead of the data seen
            if (start - start % kBlockUnit == first) own.push_back(item);
            else index.UpdateItem(item);
        }
        std::stable_sort(own.begin(), own.end(),
                         [](const ScanItem& x, const ScanItem& y) { return x.startSector < y.startSector; });
        index.ReplaceBlock(first, own);
        builder.BuildCarvedNodes(first, own);
    }
    builder.FinishKeptItems();
    // Every carved node lies inside the region.
    builder.Partition()->ForEachNode([](uint32_t, const RFileNode& node) {
        for (const auto& run : node.runs) Check(run.startSector + run.sectorCount <= kBlocks * kBlockUnit);
    });
    return 0;
}
