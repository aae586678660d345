// FAT16/FAT32 on-disk structures: geometry, allocation chains and directory entries.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "fs/PartInfo.h"
#include "fs/ScanProgress.h"

namespace ravlin {

class DiskReader;
struct FreeSpaceMap;

struct FatGeometry {
    uint16_t bytesPerSector = 0;
    uint8_t sectorsPerCluster = 0;
    uint32_t bytesPerCluster = 0;
    uint8_t fatCount = 0;
    uint32_t fatSectors = 0;  // in the volume's own sectors
    uint16_t rootEntryCount = 0;
    uint32_t rootCluster = 0;
    uint64_t totalSectors = 0;  // in the volume's own sectors
    // Positions, in absolute 512-byte sectors.
    uint64_t fat1Sector = 0;
    uint64_t fat2Sector = 0;
    uint64_t rootDirSector = 0;
    uint64_t dataStart = 0;
    uint32_t maxCluster = 0;
    uint32_t isFat32 = 0;
    uint32_t isFat12 = 0;  // fewer than 4085 clusters: 12-bit entries, two in three bytes
    // Sizes in 512-byte sectors (the volume's sectors may be larger).
    uint32_t clusterSectors = 0;
    uint32_t rootDirSectors512 = 0;
    uint64_t fatSectors512 = 0;

    uint32_t EntryBits() const { return isFat32 ? 32 : isFat12 ? 12 : 16; }
    uint64_t ClusterSector(uint32_t cluster) const {
        return dataStart + uint64_t{cluster - 2} * clusterSectors;
    }
};

struct FatDirEntry {
    uint32_t firstCluster = 0;
    uint32_t directoryCluster = 0;
    uint32_t size = 0;
    uint32_t attributes = 0;
    uint32_t deleted = 0;
    std::wstring name;
    uint64_t creationTime = 0;
    uint64_t modificationTime = 0;
    bool shortNameUsed = false;
};

// False for anything but a FAT16/FAT32 boot sector with sane geometry.
bool DecodeFatGeometry(std::span<const uint8_t> boot, uint64_t volumeSector, FatGeometry& out);

// The entry of cluster c in the loaded table of `bits`-bit entries (12, 16 or 32); 0 beyond it.
uint32_t FatEntry(std::span<const uint8_t> fat, uint32_t bits, uint32_t cluster);

// The runs of the chain from `firstCluster`; true when it ends cleanly at an end-of-chain
// mark. A broken chain keeps the runs found before the break; a looping one loses its last.
bool ChainToRuns(uint32_t firstCluster, std::span<const uint8_t> fat, const FatGeometry& geometry,
                 std::vector<DataRun>& out);

// A directory's bytes (at most 16 MiB), read through its chain; a deleted directory is read as
// its first cluster. Sectors read are added to `claimed` when given. With `mustLookLikeOne`
// (a deleted directory, whose cluster may hold anything by now) the first sector has to pass
// IsFatDirectorySector; a live directory is taken as it is, and its bad slots cost only
// themselves.
bool ReadDirectoryChain(DiskReader& reader, std::span<const uint8_t> fat, const FatGeometry& geometry,
                        uint32_t firstCluster, std::vector<uint8_t>& out,
                        FileSystemPartInfo* claimed, bool mustLookLikeOne = true);

// Whether bytes look like directory slots (long names, labels and short entries).
bool IsFatDirectorySector(std::span<const uint8_t> bytes);

// The volume label: the root's live label slot (a label bit and no data), else the boot
// sector's label field; empty when neither names one ("NO NAME" names none).
std::wstring FatVolumeLabel(std::span<const uint8_t> root, std::span<const uint8_t> boot, bool isFat32);

// Every live and deleted entry of a directory's bytes. `liveDirectory`: the bytes are a live
// directory of a volume whose boot sector decoded, so a live slot with a damaged time stamp or
// a stated directory size is still taken (with the stamp unknown).
bool ParseDirectory(std::span<const uint8_t> bytes, uint32_t directoryCluster, bool isFat32,
                    std::vector<FatDirEntry>& out, bool liveDirectory = false);

// DOS date and time (taken as UTC) to seconds since 1970; 0 for a zero date.
uint64_t DosTimeToUnix(uint16_t date, uint16_t time);

// The record of the volume whose boot sector is at `sector` (or `bootCopy`), with its table
// loaded. `keepRunning` (may be empty) lets a stop end a slow read of the table.
std::shared_ptr<FatPartInfo> MakeFatPartition(DiskReader& reader, uint64_t sector,
                                              const uint8_t* bootCopy,
                                              const KeepRunning& keepRunning = {});

bool ScanFat(FatPartInfo& part, DiskReader& reader, const ParseProgressCallback& progress,
             bool partitionDeleted, bool deletedOnly);

bool LoadFatFreeSpace(DiskReader& reader, uint64_t volumeSector, FreeSpaceMap& out);

}  // namespace ravlin
