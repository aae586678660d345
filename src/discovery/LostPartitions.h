// Partitions no table lists any more: adopted from their boot sectors, or from the extended
// boot records the raw pass met; and the blocks of free space the free-space scans read.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "discovery/Enumerate.h"

namespace ravlin {

struct FreeSpaceMap;

// A boot sector at S that starts no published partition: detect, name, publish and scan it as
// a deleted partition.
void AdoptLostPartition(FileSystemPass& pass, uint64_t sector);

// The partitions an extended boot record at `recordSector` (with its 512 bytes) still
// describes, when nothing published starts there; each is scanned as deleted and published
// only when its scan succeeded. Returns how many were added.
size_t AdoptResidualLogicalPartitions(FileSystemPass& pass, uint64_t recordSector,
                                      std::span<const uint8_t> record);

// Blocks (their first sectors, multiples of 16384) of the region that hold free clusters.
std::vector<uint64_t> FreeSpaceBlocks(const FreeSpaceMap& map, uint64_t regionStart,
                                      uint64_t regionCount);

}  // namespace ravlin
