// The exFAT boot sector, chains and directories.
#include <algorithm>

#include "common/Bytes.h"
#include "disk/DiskReader.h"
#include "fs/ClusterChain.h"
#include "fs/exfat/ExfatRecord.h"

namespace ravlin {
namespace {
constexpr uint64_t kMaxDirectoryBytes = 0x1000000;  // 16 MiB
}

bool DecodeExfatGeometry(std::span<const uint8_t> boot, uint64_t volumeSector, ExfatGeometry& out) {
    if (boot.size() < 512 || !BytesEqual(boot, 3, "EXFAT   ", 8) || LoadLE16(boot, 510) != 0xAA55)
        return false;
    uint8_t sectorShift = LoadU8(boot, 108), clusterShift = LoadU8(boot, 109);
    // Clusters are at most 32 MiB (2^25 bytes), whatever the sector size.
    if (sectorShift < 9 || sectorShift > 12 || clusterShift > 25 - sectorShift) return false;
    ExfatGeometry g;
    g.bytesPerSector = 1u << sectorShift;
    g.sectorsPerCluster = 1u << clusterShift;
    g.bytesPerCluster = g.bytesPerSector * g.sectorsPerCluster;
    g.fatCount = LoadU8(boot, 110);
    g.fatLength = LoadLE32(boot, 84);
    uint32_t fatOffset = LoadLE32(boot, 80), heapOffset = LoadLE32(boot, 88);
    g.clusterCount = LoadLE32(boot, 92);
    g.rootCluster = LoadLE32(boot, 96);
    g.volumeLength = LoadLE64(boot, 72);
    if (fatOffset == 0 || g.fatLength == 0 || heapOffset == 0 || g.clusterCount == 0 ||
        g.rootCluster < 2 || g.volumeLength == 0 || g.clusterCount > 0xFFFFFFF5)
        return false;
    // Positions in 512-byte sectors, whatever the volume's sector size.
    uint32_t scale = g.bytesPerSector / 512;
    g.fatSector = uint64_t{fatOffset} * scale + volumeSector;
    g.clusterHeapSector = uint64_t{heapOffset} * scale + volumeSector;
    g.clusterSectors = g.sectorsPerCluster * scale;
    out = g;
    return true;
}

bool ExfatChainToRuns(uint32_t firstCluster, std::span<const uint8_t> fat, const ExfatGeometry& g,
                      std::vector<DataRun>& out) {
    out.clear();
    if (fat.empty()) return false;
    // Clusters 2 to clusterCount + 1; the geometry keeps clusterCount below 0xFFFFFFF6.
    ChainMarkers markers{g.clusterCount + 1, 0xFFFFFFFFu, 0xFFFFFFF7u};
    return FollowClusterChain(
        firstCluster, markers, g.clusterSectors,
        [&](uint32_t c) { return LoadLE32(fat, size_t{c} * 4); },
        [&](uint32_t c) { return g.ClusterSector(c); }, out);
}

bool ReadExfatDirectory(DiskReader& reader, std::span<const uint8_t> fat, const ExfatGeometry& g,
                        uint32_t firstCluster, uint64_t sizeHint, bool useFatChain,
                        std::vector<uint8_t>& out) {
    out.clear();
    if (firstCluster < 2 || firstCluster > uint64_t{g.clusterCount} + 1) return false;
    std::vector<DataRun> runs;
    if (useFatChain && !fat.empty()) {
        ExfatChainToRuns(firstCluster, fat, g, runs);
    } else {
        uint64_t clusters = sizeHint == 0 ? 1 : (sizeHint + g.bytesPerCluster - 1) / g.bytesPerCluster;
        if (useFatChain) clusters = 1;  // no table: the first cluster only
        if (clusters * g.bytesPerCluster > kMaxDirectoryBytes) return false;
        runs.push_back({g.ClusterSector(firstCluster), clusters * g.clusterSectors});
    }
    uint64_t total = 0;
    for (const DataRun& run : runs) total += run.sectorCount * 512;
    if (total == 0 || total > kMaxDirectoryBytes) return false;
    out.resize(total);
    size_t at = 0;
    for (const DataRun& run : runs) {
        reader.ReadSectors(out.data() + at, run.startSector, static_cast<uint32_t>(run.sectorCount));
        at += run.sectorCount * 512;
    }
    return true;
}

}  // namespace ravlin
