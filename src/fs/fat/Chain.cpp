// Following FAT allocation chains.
#include <algorithm>

#include "disk/DiskReader.h"
#include "fs/ClusterChain.h"
#include "fs/fat/FatRecord.h"

namespace ravlin {
namespace {

constexpr uint64_t kMaxDirectoryBytes = 0x1000000;  // 16 MiB

}  // namespace

bool ChainToRuns(uint32_t firstCluster, std::span<const uint8_t> fat, const FatGeometry& g,
                 std::vector<DataRun>& out) {
    out.clear();
    if (fat.empty()) return false;
    const uint32_t bits = g.EntryBits();
    // End-of-chain and bad-cluster marks of each entry width.
    const uint32_t mask = bits == 32 ? 0x0FFFFFFFu : bits == 16 ? 0xFFFFu : 0x0FFFu;
    ChainMarkers markers{g.maxCluster, mask & ~7u, mask & ~8u};
    return FollowClusterChain(
        firstCluster, markers, g.clusterSectors,
        [&](uint32_t c) { return FatEntry(fat, bits, c); },
        [&](uint32_t c) { return g.ClusterSector(c); }, out);
}

bool ReadDirectoryChain(DiskReader& reader, std::span<const uint8_t> fat, const FatGeometry& g,
                        uint32_t firstCluster, std::vector<uint8_t>& out,
                        FileSystemPartInfo* claimed, bool mustLookLikeOne) {
    out.clear();
    std::vector<DataRun> runs;
    ChainToRuns(firstCluster, fat, g, runs);  // a broken chain is read as far as it goes
    uint64_t total = 0;
    for (const DataRun& run : runs) total += run.sectorCount * 512;
    if (runs.empty() || total == 0 || total > kMaxDirectoryBytes) return false;
    out.resize(total);
    size_t at = 0;
    for (const DataRun& run : runs) {
        reader.ReadSectors(out.data() + at, run.startSector, static_cast<uint32_t>(run.sectorCount));
        if (claimed)
            for (uint64_t s = 0; s < run.sectorCount; ++s) claimed->Claim(run.startSector + s);
        at += run.sectorCount * 512;
    }
    if (mustLookLikeOne && out.size() >= 512 &&
        (out[0] == 0 || !IsFatDirectorySector(std::span<const uint8_t>(out.data(), 512)))) {
        out.clear();
        return false;
    }
    return true;
}

}  // namespace ravlin
