// Raw bytes as a FAT boot sector followed by a file allocation table whose chains are followed
// from every cluster.
#include <cstddef>
#include <cstdint>

#include "fs/fat/FatRecord.h"

using namespace ravlin;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 512) return 0;
    FatGeometry g;
    if (!DecodeFatGeometry(std::span<const uint8_t>(data, 512), 2048, g)) return 0;
    std::span<const uint8_t> fat(data + 512, size - 512);
    std::vector<DataRun> runs;
    // Entries the table holds at its width; a FAT12 table's last one may straddle its end.
    uint32_t entries = static_cast<uint32_t>(fat.size() * 8 / g.EntryBits() + 1);
    for (uint32_t c = 0; c < entries && c < 4096; ++c) ChainToRuns(c, fat, g, runs);
    return 0;
}
