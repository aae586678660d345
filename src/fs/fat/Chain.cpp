// Following FAT allocation chains.
#include <algorithm>

#include "disk/DiskReader.h"
#include "fs/fat/FatRecord.h"

namespace ravlin {
namespace {

constexpr uint64_t kMaxDirectoryBytes = 0x1000000;  // 16 MiB

bool EndOfChain(uint32_t entry, bool fat32) { return entry >= (fat32 ? 0x0FFFFFF8u : 0xFFF8u); }
bool BadCluster(uint32_t entry, bool fat32) { return entry == (fat32 ? 0x0FFFFFF7u : 0xFFF7u); }

}  // namespace

bool ChainToRuns(uint32_t firstCluster, std::span<const uint8_t> fat, const FatGeometry& g,
                 std::vector<DataRun>& out) {
    out.clear();
    if (firstCluster < 2 || firstCluster > g.maxCluster || fat.empty()) return false;
    bool fat32 = g.isFat32 != 0;
    uint32_t runFirst = firstCluster, runLength = 1;
    auto close = [&] { out.push_back({g.ClusterSector(runFirst), uint64_t{runLength} * g.clusterSectors}); };
    // A second cursor at double speed finds a loop long before the step limit would.
    uint32_t current = firstCluster, hare = firstCluster;
    auto next = [&](uint32_t c) -> uint32_t {
        uint32_t e = FatEntry(fat, fat32, c);
        return (e < 2 || e > g.maxCluster) ? 0 : e;
    };
    for (uint64_t step = 0; step < g.maxCluster; ++step) {
        uint32_t entry = FatEntry(fat, fat32, current);
        if (EndOfChain(entry, fat32)) {
            close();
            return true;
        }
        if (entry < 2 || entry > g.maxCluster || BadCluster(entry, fat32)) {
            close();
            return false;
        }
        if (entry == current + 1) {
            ++runLength;
        } else {
            close();
            runFirst = entry;
            runLength = 1;
        }
        current = entry;
        if (hare) hare = next(hare);
        if (hare) hare = next(hare);
        if (hare && hare == current) return false;  // a loop: the open run is dropped
    }
    return false;
}

bool ReadDirectoryChain(DiskReader& reader, std::span<const uint8_t> fat, const FatGeometry& g,
                        uint32_t firstCluster, std::vector<uint8_t>& out,
                        FileSystemPartInfo* claimed) {
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
    if (out.size() >= 512 && (out[0] == 0 || !IsFatDirectorySector(std::span<const uint8_t>(out.data(), 512)))) {
        out.clear();
        return false;
    }
    return true;
}

}  // namespace ravlin
