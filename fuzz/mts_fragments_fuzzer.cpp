// Fuzzed bytes as a disk of two blocks scanned by the video-fragment follower and assembler:
// whatever the packets say, the rebuilt files lie on the disk and the scan ends.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "carve/MtsFragments.h"
#include "fs/PartInfo.h"

using namespace ravlin;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr uint64_t kBlocks = 2;
    static std::vector<uint8_t> disk(kBlocks * kBlockBytes64);
    static BlockWindow window;
    if (size > disk.size()) return 0;
    std::memcpy(disk.data(), data, size);
    std::memset(disk.data() + size, 0, disk.size() - size);
    window.Clear();
    RecordIndex index;
    index.Reset(0, kBlocks);
    FragmentAssembler assembler;
    assembler.Reset(L"fuzz", &index);
    for (uint64_t b = 0; b < kBlocks; ++b) {
        window.Feed(b * kBlockUnit, disk.data() + b * kBlockBytes64);
        assembler.FeedBlock(b * kBlockUnit, window);
    }
    auto part = assembler.Assemble(window, nullptr);
    if (!part) std::abort();
    part->ForEachNode([](uint32_t, const RFileNode& node) {
        for (const auto& run : node.runs)
            if (run.startSector + run.sectorCount > kBlocks * kBlockUnit) std::abort();
    });
    return 0;
}
