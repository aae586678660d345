// The allocation bitmap of one volume, in clusters.
#pragma once

#include <cstdint>
#include <vector>

namespace ravlin {

struct FreeSpaceMap {
    uint32_t clusterCount = 0;
    uint64_t firstSector = 0;  // sector of map cluster 0
    uint32_t sectorsPerCluster = 0;
    std::vector<uint8_t> bitmap;  // bit i (bit i % 8 of byte i / 8) set: cluster i in use

    bool Usable() const { return clusterCount != 0 && sectorsPerCluster != 0 && !bitmap.empty(); }
    bool InUse(uint64_t cluster) const {
        return cluster / 8 < bitmap.size() && ((bitmap[cluster / 8] >> (cluster % 8)) & 1) != 0;
    }
};

}  // namespace ravlin
