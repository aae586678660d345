// Raw bytes as a block of the raw pass: the sector classifier over them (the input written
// again and again through the block, so that runs of records and directory sectors form), then
// the three rebuilders over what it found, reading the block as their disk.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "MemoryDisk.h"
#include "discovery/SectorClassifier.h"
#include "fs/PartInfo.h"
#include "fs/rebuild/Rebuild.h"

using namespace ravlin;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr size_t kBlockBytes = kBlockUnit * 512;
    static std::vector<uint8_t> block(kBlockBytes);
    if (size < 2 || size > (1 << 16)) return 0;
    // The first byte: how many sectors the copies stand apart beyond the input's own length.
    const size_t stride = ((size - 1 + 511) / 512 + data[0] % 8) * 512;
    std::fill(block.begin(), block.end(), 0);
    for (size_t at = 0; at + 1 < kBlockBytes && at / stride < 256; at += stride)
        std::memcpy(block.data() + at, data + 1, std::min(size - 1, kBlockBytes - at));
    DiskReader reader;
    if (!fuzz::OpenMemoryDisk(reader, block.data(), block.size())) return 0;
    FoundSectorStore store;
    ScanOutput output;
    std::vector<ScanItem> items;
    SectorClassifier classifier(store, nullptr);
    classifier.Reset(&reader);
    classifier.ClassifyBlock(0, block.data(), items, output);
    std::vector<std::shared_ptr<PartInfo>> volumes;
    RebuildNtfsFromRecords(&reader, items, volumes, 0);
    RebuildFatFromDirectories(&reader, items, volumes);
    RebuildExfatFromDirectories(&reader, items, volumes);
    return 0;
}
