// exFAT on-disk structures: geometry, chains and directory entry sets.
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

struct ExfatGeometry {
    uint32_t bytesPerSector = 0;
    uint32_t sectorsPerCluster = 0;  // in the volume's own sectors
    uint32_t bytesPerCluster = 0;
    uint8_t fatCount = 0;
    uint32_t fatLength = 0;           // in the volume's own sectors
    uint64_t fatSector = 0;           // absolute 512-byte sector
    uint64_t clusterHeapSector = 0;   // absolute 512-byte sector
    uint32_t clusterCount = 0;
    uint32_t rootCluster = 0;
    uint64_t volumeLength = 0;        // in the volume's own sectors
    uint32_t clusterSectors = 0;      // 512-byte sectors per cluster

    uint64_t ClusterSector(uint32_t cluster) const {
        return clusterHeapSector + uint64_t{cluster - 2} * clusterSectors;
    }
};

struct ExfatDirEntry {
    uint32_t firstCluster = 0;
    uint64_t length = 0;  // valid data length
    uint32_t attributes = 0;
    uint32_t directory = 0;
    uint32_t deleted = 0;
    uint32_t usesFatChain = 0;
    std::wstring name;
    uint64_t creationTime = 0;
    uint64_t modificationTime = 0;
    bool localTime = true;  // the times lack a UTC offset: wall-clock time as if UTC
};

bool DecodeExfatGeometry(std::span<const uint8_t> boot, uint64_t volumeSector, ExfatGeometry& out);

bool ExfatChainToRuns(uint32_t firstCluster, std::span<const uint8_t> fat, const ExfatGeometry& g,
                      std::vector<DataRun>& out);

bool ReadExfatDirectory(DiskReader& reader, std::span<const uint8_t> fat, const ExfatGeometry& g,
                        uint32_t firstCluster, uint64_t sizeHint, bool useFatChain,
                        std::vector<uint8_t>& out);

// Every complete entry set (live and deleted alike: the in-use bit is masked).
bool ParseEntrySets(std::span<const uint8_t> bytes, std::vector<ExfatDirEntry>& out);

uint64_t ExfatTimeToUnix(uint16_t date, uint16_t time);

// The label of the root's volume-label entry (up to 11 characters), empty without one.
std::wstring ExfatVolumeLabel(std::span<const uint8_t> root);

// The record of the volume whose boot sector is at `sector` (or `bootCopy`), with its table
// loaded. `keepRunning` (may be empty) lets a stop end a slow read of the table.
std::shared_ptr<ExfatPartInfo> MakeExfatPartition(DiskReader& reader, uint64_t sector,
                                                  const uint8_t* bootCopy,
                                                  const KeepRunning& keepRunning = {});

bool ScanExfat(ExfatPartInfo& part, DiskReader& reader, const ParseProgressCallback& progress,
               bool partitionDeleted, bool deletedOnly);

// Moves the children of an older directory to a newer one that starts at the same sector and
// has none (a deleted folder whose cluster a later folder took).
void MergeDuplicateDirectories(PartInfo& part);

bool LoadExfatFreeSpace(DiskReader& reader, uint64_t volumeSector, FreeSpaceMap& out);

}  // namespace ravlin
