// Raw bytes as an exFAT boot sector and as directory entry sets, with chains followed through
// the rest of the input as a FAT.
#include <cstddef>
#include <cstdint>

#include "fs/exfat/ExfatRecord.h"

using namespace ravlin;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::span<const uint8_t> bytes(data, size);
    std::vector<ExfatDirEntry> sets;
    ParseEntrySets(bytes, sets);
    if (size < 512) return 0;
    ExfatGeometry g;
    if (!DecodeExfatGeometry(bytes.first(512), 4096, g)) return 0;
    std::span<const uint8_t> fat = bytes.subspan(512);
    std::vector<DataRun> runs;
    for (const ExfatDirEntry& set : sets) ExfatChainToRuns(set.firstCluster, fat, g, runs);
    for (uint32_t c = 0; c < 256; ++c) ExfatChainToRuns(c, fat, g, runs);
    return 0;
}
