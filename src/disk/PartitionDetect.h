// What a sector is (boot sector, partition table) and the volume records made from it.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "fs/ScanProgress.h"

namespace ravlin {

class DiskReader;
class PartInfo;
struct FreeSpaceMap;

// Sector classes.
inline constexpr uint8_t kSectorNothing = 0;
inline constexpr uint8_t kSectorMbr = 1;
inline constexpr uint8_t kSectorEbr = 2;
inline constexpr uint8_t kSectorNtfsBoot = 3;
inline constexpr uint8_t kSectorFat16Boot = 4;
inline constexpr uint8_t kSectorFat32Boot = 5;
inline constexpr uint8_t kSectorExfatBoot = 6;
inline constexpr uint8_t kSectorGptHeader = 7;

// File-system type by signature text alone: 12 NTFS, 4 exFAT, 11 FAT32, 10 FAT16, else 0.
uint32_t IdentifyFileSystem(std::span<const uint8_t> sector);
// IdentifyFileSystem of sector S; 0 when the reader is closed or the sector unreadable.
uint32_t DetectFsTypeAt(DiskReader& reader, uint64_t sector);
// The strict classification of a 512-byte sector found at `sector`.
uint8_t ClassifySector(uint64_t sector, std::span<const uint8_t> data);
// One 16-byte partition-table entry: type, start and at least 50 MiB, a clean boot flag.
bool IsValidPartitionEntry(std::span<const uint8_t> entry);

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
