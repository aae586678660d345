// Following a cluster chain of a FAT or exFAT allocation table into runs of sectors.
#pragma once

#include <cstdint>
#include <vector>

#include "ravlin/Ravlin.h"

namespace ravlin {

// The markers of one table: entries from `endFrom` on end a chain, `bad` marks a bad cluster,
// and clusters run from 2 to `maxCluster`.
struct ChainMarkers {
    uint32_t maxCluster;
    uint32_t endFrom;
    uint32_t bad;
};

// Runs of the chain from `first`: `entryOf(c)` reads the table entry of cluster c and
// `sectorOf(c)` gives the cluster's first sector. True when the chain reaches its end marker.
// A broken chain keeps the runs up to the break; a loop drops the open run. The walk takes at
// most maxCluster steps, and a second cursor at double speed finds a loop long before that.
template <class EntryOf, class SectorOf>
bool FollowClusterChain(uint32_t first, const ChainMarkers& m, uint32_t clusterSectors,
                        EntryOf entryOf, SectorOf sectorOf, std::vector<DataRun>& out) {
    out.clear();
    if (first < 2 || first > m.maxCluster) return false;
    auto usable = [&](uint32_t e) { return e >= 2 && e <= m.maxCluster && e != m.bad; };
    auto next = [&](uint32_t c) -> uint32_t {
        uint32_t e = entryOf(c);
        return usable(e) ? e : 0;
    };
    uint32_t runFirst = first, runLength = 1, current = first, hare = first;
    auto close = [&] { out.push_back({sectorOf(runFirst), uint64_t{runLength} * clusterSectors}); };
    for (uint64_t step = 0; step < m.maxCluster; ++step) {
        uint32_t entry = entryOf(current);
        if (entry >= m.endFrom) {
            close();
            return true;
        }
        if (!usable(entry)) {
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
        if (hare && hare == current) return false;
    }
    return false;
}

}  // namespace ravlin
