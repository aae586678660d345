// The volume records made from a boot sector, their scans and free-space maps.
#pragma once

#include <cstdint>
#include <memory>

#include "disk/PartitionTables.h"
#include "fs/ScanProgress.h"

namespace ravlin {

class DiskReader;
class PartInfo;
struct FreeSpaceMap;

// Finds the file system whose boot sector is at S and builds its record; when there is none,
// or its fields are damaged past use, a backup of it serves (FAT32 at S + 6, exFAT at S + 12,
// NTFS at the partition's last sector when `sectorCount` is known). False, with `out` empty,
// when neither gives a volume. `keepRunning` (may be empty) lets a stop end the slow reads of
// a damaged volume's tables.
bool DetectPartitionAt(DiskReader& reader, uint64_t sector, std::shared_ptr<PartInfo>& out,
                       uint64_t sectorCount, const KeepRunning& keepRunning = {});

// Runs the scanner of the record's file system. `partitionDeleted`: found by searching, every
// node is of a deleted kind; `deletedOnly`: live files are kept but not shown.
bool ScanPartition(PartInfo& part, DiskReader& reader, ParseProgressCallback progress,
                   bool partitionDeleted, bool deletedOnly);

// The allocation bitmap of the volume at S.
bool LoadFreeSpaceMap(DiskReader& reader, uint64_t sector, FreeSpaceMap& out);

}  // namespace ravlin
